# Four-axis solver: per-solve time by case on fixed random corpora, against the
# cost of clamping the same desired vectors into their boxes.
add_executable(multivar_4d_bench ${CMAKE_CURRENT_LIST_DIR}/multivar_4d_bench.cpp)
target_link_libraries(multivar_4d_bench PRIVATE morvex_core_static benchmark::benchmark morvex_warnings)
