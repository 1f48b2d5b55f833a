# tap_recorder_build_flags: an interface target that every target of the
# project links, carrying the warnings and, for the program users get, the
# hardening a Debian build applies by default.
include(CheckCXXCompilerFlag)
include(CheckLinkerFlag)

add_library(tap_recorder_build_flags INTERFACE)
# Warnings are errors where the project's own compilers build it (the
# presets the tests and CI use); a user's newer compiler may warn where ours
# does not, and must still build the program.
option(TAP_RECORDER_WERROR "Treat warnings as errors" OFF)
if(MSVC)
  target_compile_options(tap_recorder_build_flags INTERFACE /W4 /utf-8 $<$<BOOL:${TAP_RECORDER_WERROR}>:/WX>)
else()
  target_compile_options(tap_recorder_build_flags INTERFACE -Wall -Wextra -Wpedantic -Wformat-security
                                                            $<$<BOOL:${TAP_RECORDER_WERROR}>:-Werror>)
endif()

if(TAP_RECORDER_SANITIZE OR TAP_RECORDER_FUZZ)
  target_compile_options(tap_recorder_build_flags INTERFACE -fsanitize=address,undefined -fno-sanitize-recover=all
                                                            -fno-omit-frame-pointer)
  target_link_options(tap_recorder_build_flags INTERFACE -fsanitize=address,undefined)
  if(TAP_RECORDER_FUZZ)
    target_compile_options(tap_recorder_build_flags INTERFACE -fsanitize=fuzzer-no-link)
  endif()
elseif(NOT WIN32 AND NOT MSVC)
  # What dpkg-buildflags gives a package: each where the toolchain has it
  # (Apple's has no stack clash protection and no -z linker options).
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  include(CheckPIESupported)
  check_pie_supported()
  set(hardening -fstack-protector-strong -fcf-protection)
  if(NOT APPLE)
    # Apple's targets have no stack clash protection: clang only warns that
    # the flag goes unused, so the check below would take it.
    list(APPEND hardening -fstack-clash-protection)
  endif()
  foreach(flag ${hardening})
    string(MAKE_C_IDENTIFIER "HAVE${flag}" have)
    check_cxx_compiler_flag(${flag} ${have})
    if(${have})
      target_compile_options(tap_recorder_build_flags INTERFACE ${flag})
    endif()
  endforeach()
  # Fortified calls need the optimiser; a Debug build would only warn.
  target_compile_options(tap_recorder_build_flags INTERFACE
                         $<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2>)
  foreach(flag -Wl,-z,relro -Wl,-z,now)
    string(MAKE_C_IDENTIFIER "HAVE${flag}" have)
    check_linker_flag(CXX ${flag} ${have})
    if(${have})
      target_link_options(tap_recorder_build_flags INTERFACE ${flag})
    endif()
  endforeach()
endif()
