# Shared part of the static musl toolchains (cmake/armhf-musl.cmake and the
# others), which set QUORREL_ZIG_TARGET (Zig's target triple), QUORREL_ZIG_CPU
# (its -mcpu value, or empty for the target's baseline), CMAKE_SYSTEM_PROCESSOR
# and QUORREL_QEMU (the qemu-user program that runs the target's binaries here,
# or empty when they run natively).
#
# C and C++ are compiled by `zig cc` / `zig c++`: Zig carries clang, musl and
# libc++, so the programs and the test binaries all link fully static. libev,
# libmosquitto and OpenSSL come from the prefix that scripts/musl-deps.sh fills,
# ${CMAKE_BINARY_DIR}/deps unless -DQUORREL_DEPS_PREFIX=... names another one.
# Zig is the one scripts/zig.sh installs, unless -DQUORREL_ZIG=... names one.

set(CMAKE_SYSTEM_NAME Linux)

# The toolchain file is read again for every check CMake compiles; the
# wrappers and paths are settled once, in the build directory itself.
get_property(_quorrel_in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
if(NOT _quorrel_in_try_compile)
  get_filename_component(_quorrel_target "${CMAKE_TOOLCHAIN_FILE}" NAME_WE)
  set(QUORREL_DEPS_PREFIX "${CMAKE_BINARY_DIR}/deps" CACHE PATH
      "Prefix holding the target's libev, libmosquitto and OpenSSL")
  if(NOT EXISTS "${QUORREL_DEPS_PREFIX}/lib/pkgconfig/libmosquitto.pc")
    message(FATAL_ERROR "No ${_quorrel_target} libraries in ${QUORREL_DEPS_PREFIX}: run\n"
            "  scripts/musl-deps.sh ${_quorrel_target} ${QUORREL_DEPS_PREFIX}\n"
            "first, or point -DQUORREL_DEPS_PREFIX at the prefix it filled.")
  endif()

  if(NOT QUORREL_ZIG)
    execute_process(COMMAND sh "${CMAKE_CURRENT_LIST_DIR}/../scripts/zig.sh"
                    OUTPUT_VARIABLE _quorrel_zig OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE _quorrel_zig_status)
    if(NOT _quorrel_zig_status EQUAL 0 OR NOT EXISTS "${_quorrel_zig}")
      message(FATAL_ERROR "scripts/zig.sh could not provide Zig")
    endif()
    set(QUORREL_ZIG "${_quorrel_zig}" CACHE FILEPATH "The zig compiler")
  endif()

  # CMake wants a compiler it can run as one program: small scripts that add
  # the target to each zig sub-command.
  set(QUORREL_ZIG_WRAPPERS "${CMAKE_BINARY_DIR}/zig-wrappers")
  set(_quorrel_flags "-target ${QUORREL_ZIG_TARGET}")
  if(QUORREL_ZIG_CPU)
    string(APPEND _quorrel_flags " -mcpu=${QUORREL_ZIG_CPU}")
  endif()
  # Zig builds its C and C++ runtimes for each optimisation level, and with
  # LTO a bitcode C library of their own for programs linked straight from C
  # sources: a minute or two each. Compile lines that name no level (CMake's
  # compiler identification) get -O2 so that everything shares the runtimes
  # of the default build, which scripts/musl-deps.sh has built already; an -O
  # given later on the line still wins.
  string(APPEND _quorrel_flags " -fno-lto -O2")
  foreach(_quorrel_tool cc c++ ar ranlib)
    if(_quorrel_tool MATCHES "^c")
      set(_quorrel_args " ${_quorrel_tool} ${_quorrel_flags}")
    else()
      set(_quorrel_args " ${_quorrel_tool}")
    endif()
    set(_quorrel_script "#!/bin/sh\nexec \"${QUORREL_ZIG}\"${_quorrel_args} \"$@\"\n")
    set(_quorrel_path "${QUORREL_ZIG_WRAPPERS}/${_quorrel_tool}")
    set(_quorrel_old "")
    if(EXISTS "${_quorrel_path}")
      file(READ "${_quorrel_path}" _quorrel_old)
    endif()
    if(NOT _quorrel_old STREQUAL _quorrel_script)
      file(WRITE "${CMAKE_BINARY_DIR}/CMakeFiles/zig-wrapper-${_quorrel_tool}" "${_quorrel_script}")
      file(COPY "${CMAKE_BINARY_DIR}/CMakeFiles/zig-wrapper-${_quorrel_tool}"
           DESTINATION "${QUORREL_ZIG_WRAPPERS}"
           FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
                            GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
      file(RENAME "${QUORREL_ZIG_WRAPPERS}/zig-wrapper-${_quorrel_tool}" "${_quorrel_path}")
    endif()
  endforeach()

  if(QUORREL_QEMU)
    find_program(QUORREL_QEMU_PROGRAM ${QUORREL_QEMU} NO_CMAKE_FIND_ROOT_PATH)
    if(QUORREL_QEMU_PROGRAM)
      set(CMAKE_CROSSCOMPILING_EMULATOR "${QUORREL_QEMU_PROGRAM}" CACHE FILEPATH
          "Runs the target's binaries here (tests and test discovery)")
    else()
      message(WARNING "${QUORREL_QEMU} not found (Debian package qemu-user-static): "
              "the ${_quorrel_target} binaries build but cannot be run here")
    endif()
  endif()
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QUORREL_DEPS_PREFIX QUORREL_ZIG_WRAPPERS)

set(CMAKE_C_COMPILER "${QUORREL_ZIG_WRAPPERS}/cc")
set(CMAKE_CXX_COMPILER "${QUORREL_ZIG_WRAPPERS}/c++")
set(CMAKE_AR "${QUORREL_ZIG_WRAPPERS}/ar" CACHE FILEPATH "Archiver")
set(CMAKE_RANLIB "${QUORREL_ZIG_WRAPPERS}/ranlib" CACHE FILEPATH "Archive indexer")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Libraries and headers from the prefix only, never the host's; programs
# (pkg-config, the emulator) from the host.
set(CMAKE_FIND_ROOT_PATH "${QUORREL_DEPS_PREFIX}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR} "${QUORREL_DEPS_PREFIX}/lib/pkgconfig")
unset(ENV{PKG_CONFIG_PATH})
# A static link needs each library's own dependencies (libmosquitto's OpenSSL
# and threads), which pkg-config gives only with --static.
set(PKG_CONFIG_ARGN "--static" CACHE STRING "Arguments to supply to pkg-config")

# No GoogleTest package for the target: it is built from the host's sources,
# by the same compiler and against the same libc++.
set(QUORREL_GTEST_FROM_SOURCE ON CACHE BOOL "" FORCE)
# Everything links static against musl: no shared C library on the device.
set(QUORREL_STATIC ON CACHE BOOL "" FORCE)
