# Cross-compiling for a Cortex-M with GCC arm-none-eabi (Debian:
# gcc-arm-none-eabi, libnewlib-arm-none-eabi, libstdc++-arm-none-eabi-newlib).
#
#   cmake -S . -B build/fw -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/arm-none-eabi.cmake \
#         -DMORVEX_FIRMWARE=ON -DMORVEX_FIRMWARE_CPU=cortex-m4
#
# MORVEX_FIRMWARE_CPU: cortex-m0plus, cortex-m3, cortex-m4, cortex-m7, cortex-m33 (any
# -mcpu GCC knows). MORVEX_FIRMWARE_FLOAT_ABI: soft (the default: no FPU register is
# used, so the library links into any firmware for that CPU), softfp or hard (with
# MORVEX_FIRMWARE_FPU, e.g. fpv4-sp-d16); a firmware and its libraries must agree.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(MORVEX_FIRMWARE_CPU cortex-m4 CACHE STRING "-mcpu of the firmware build")
set_property(CACHE MORVEX_FIRMWARE_CPU PROPERTY STRINGS
  cortex-m0plus cortex-m3 cortex-m4 cortex-m7 cortex-m33)
set(MORVEX_FIRMWARE_FLOAT_ABI soft CACHE STRING "-mfloat-abi of the firmware build")
set_property(CACHE MORVEX_FIRMWARE_FLOAT_ABI PROPERTY STRINGS soft softfp hard)
set(MORVEX_FIRMWARE_FPU "" CACHE STRING "-mfpu of the firmware build (empty: none given)")

set(CMAKE_C_COMPILER arm-none-eabi-gcc)
set(CMAKE_CXX_COMPILER arm-none-eabi-g++)
set(CMAKE_ASM_COMPILER arm-none-eabi-gcc)
set(CMAKE_AR arm-none-eabi-ar)
set(CMAKE_RANLIB arm-none-eabi-ranlib)
set(CMAKE_SIZE arm-none-eabi-size)
set(CMAKE_OBJCOPY arm-none-eabi-objcopy)

set(morvex_arm_flags "-mcpu=${MORVEX_FIRMWARE_CPU} -mthumb -mfloat-abi=${MORVEX_FIRMWARE_FLOAT_ABI}")
if(MORVEX_FIRMWARE_FPU)
  string(APPEND morvex_arm_flags " -mfpu=${MORVEX_FIRMWARE_FPU}")
endif()
set(CMAKE_C_FLAGS_INIT "${morvex_arm_flags}")
set(CMAKE_CXX_FLAGS_INIT "${morvex_arm_flags}")
set(CMAKE_ASM_FLAGS_INIT "${morvex_arm_flags}")
# A bare-metal program has no startup files or C library unless it brings its own.
set(CMAKE_EXE_LINKER_FLAGS_INIT "${morvex_arm_flags} -nostdlib")
# Compiler checks build a static library: nothing can be linked without startup code.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
