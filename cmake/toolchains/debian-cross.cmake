# Cross build for a Debian architecture with Debian's cross compiler
# (crossbuild-essential-<arch>), against the target's packages unpacked into
# K417T_CROSS_SYSROOT by scripts/install-cross-deps.sh. The C library and the
# compiler's own libraries come with the cross compiler. Tests run under
# qemu-user. Included by <arch>.cmake, which sets K417T_CROSS_TRIPLET,
# K417T_CROSS_PROCESSOR, K417T_CROSS_DEB_ARCH and K417T_CROSS_QEMU.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${K417T_CROSS_PROCESSOR})
set(CMAKE_LIBRARY_ARCHITECTURE ${K417T_CROSS_TRIPLET})
set(CMAKE_C_COMPILER ${K417T_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${K417T_CROSS_TRIPLET}-g++)
# g++ notes on 32-bit ARM that the passing of some arguments changed in GCC 7.1:
# nothing built with an older compiler is linked here.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
# The target's architecture-specific headers of its libraries (OpenSSL's
# opensslconf.h, which net-snmp's headers include): after the compiler's own.
string(APPEND CMAKE_C_FLAGS_INIT
       " -idirafter ${K417T_CROSS_SYSROOT}/usr/include/${K417T_CROSS_TRIPLET}")
string(APPEND CMAKE_CXX_FLAGS_INIT
       " -idirafter ${K417T_CROSS_SYSROOT}/usr/include/${K417T_CROSS_TRIPLET}")
set(K417T_DEB_ARCH ${K417T_CROSS_DEB_ARCH} CACHE STRING "Debian architecture of the package")
# try_compile projects read this file again: hand them the sysroot too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES K417T_CROSS_SYSROOT)
if(NOT K417T_CROSS_SYSROOT OR NOT IS_DIRECTORY "${K417T_CROSS_SYSROOT}/usr/include")
  message(FATAL_ERROR "K417T_CROSS_SYSROOT must name the folder the target's packages were "
                      "unpacked into (scripts/install-cross-deps.sh ${K417T_CROSS_DEB_ARCH} DIR; "
                      "scripts/test-cross.sh and scripts/package.sh do that)")
endif()
set(_sysroot ${K417T_CROSS_SYSROOT})

set(CMAKE_FIND_ROOT_PATH ${_sysroot} /usr/${K417T_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR}
    ${_sysroot}/usr/lib/${K417T_CROSS_TRIPLET}/pkgconfig:${_sysroot}/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${_sysroot})
# The libraries' own dependencies (libsystemd's liblzma and the like) are found
# by the linker here.
set(_rpath_link
    "-Wl,-rpath-link,${_sysroot}/usr/lib/${K417T_CROSS_TRIPLET}:${_sysroot}/lib/${K417T_CROSS_TRIPLET}")
set(CMAKE_EXE_LINKER_FLAGS_INIT ${_rpath_link})
set(CMAKE_SHARED_LINKER_FLAGS_INIT ${_rpath_link})
set(CMAKE_MODULE_LINKER_FLAGS_INIT ${_rpath_link})

# qemu loads the target's loader and libraries from the sysroot. One program,
# not a list, since tests start the runner through it as well.
find_program(K417T_QEMU ${K417T_CROSS_QEMU})
if(K417T_QEMU)
  set(_wrapper ${CMAKE_BINARY_DIR}/qemu-${K417T_CROSS_DEB_ARCH})
  file(WRITE ${_wrapper} "#!/bin/sh\nexec '${K417T_QEMU}' -L '${_sysroot}' \"$@\"\n")
  file(CHMOD ${_wrapper} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
       GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${_wrapper})
endif()
