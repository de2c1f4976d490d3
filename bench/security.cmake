# Security core: SHA-256, receipt tags and the interceptor against OpenSSL.
# OpenSSL is linked into the benchmark only, never into morvex_security.
find_package(OpenSSL REQUIRED COMPONENTS Crypto)
add_executable(security_bench ${CMAKE_CURRENT_LIST_DIR}/security_bench.cpp)
target_link_libraries(security_bench PRIVATE
  morvex_security_internals benchmark::benchmark OpenSSL::Crypto morvex_warnings)
