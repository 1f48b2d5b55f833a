# Cross-builds the program for macOS with Zig's C++ compiler, which carries
# the macOS C library itself: ZIG names the zig binary, TAP_RECORDER_MACOS_ARCH
# the architecture (aarch64 or x86_64). Only the program: nothing runs here.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR ${TAP_RECORDER_MACOS_ARCH})
set(CMAKE_CXX_COMPILER ${ZIG})
set(CMAKE_CXX_COMPILER_ARG1 "c++ -target ${TAP_RECORDER_MACOS_ARCH}-macos")
set(CMAKE_AR ${CMAKE_CURRENT_LIST_DIR}/zig-ar)
set(CMAKE_RANLIB ${CMAKE_CURRENT_LIST_DIR}/zig-ranlib)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_SIZEOF_VOID_P 8)
