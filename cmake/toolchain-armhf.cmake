# Cross build for the board: 32-bit ARM, hard-float EABI5 (Debian armhf).
#
#   cmake -S . -B build-armhf -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
#   (or: cmake --preset armhf)
#
# Needs Debian's crossbuild-essential-armhf, the :armhf -dev packages of the
# libraries (multiarch, under /usr/lib/arm-linux-gnueabihf) and, to run the
# tests on the build machine, qemu-user-static: scripts/install-deps --cross.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(GW_TRIPLET arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${GW_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${GW_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${GW_TRIPLET})

# Debian multiarch: the target's libraries live beside the build machine's in
# /usr/lib/arm-linux-gnueabihf, their headers in /usr/include (and
# /usr/include/arm-linux-gnueabihf), so the root stays "/" and the library
# architecture picks the armhf directories. The cross toolchain's own tree
# comes first. Programs (soapcpp2) are taken from the build machine only.
set(CMAKE_FIND_ROOT_PATH /usr/${GW_TRIPLET} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config answers for armhf: only the armhf .pc files (and the
# architecture-independent ones), never those of the build machine.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${GW_TRIPLET}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# Tests and generators run the target's programs under user-mode emulation.
# When the kernel runs ARM binaries itself (binfmt_misc registered with the F
# flag) no prefix is needed; otherwise qemu-arm-static is named explicitly.
# With the multiarch C library installed (libc6:armhf, pulled in by the
# :armhf -dev packages) the loader /lib/ld-linux-armhf.so.3 is where the
# binaries expect it; only without it does qemu need the cross tree as prefix.
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(GW_QEMU_ARM NAMES qemu-arm-static qemu-arm)
  set(_gw_binfmt "")
  foreach(_f /proc/sys/fs/binfmt_misc/qemu-arm /proc/sys/fs/binfmt_misc/arm)
    if(EXISTS ${_f})
      file(READ ${_f} _gw_binfmt)
    endif()
  endforeach()
  if(_gw_binfmt MATCHES "enabled" AND _gw_binfmt MATCHES "flags: [A-Z]*F")
    # Registered and usable everywhere, also in the board sandbox.
  elseif(GW_QEMU_ARM)
    if(EXISTS /lib/ld-linux-armhf.so.3)
      set(_gw_emu ${GW_QEMU_ARM})
    else()
      set(_gw_emu ${GW_QEMU_ARM} -L /usr/${GW_TRIPLET})
    endif()
    set(CMAKE_CROSSCOMPILING_EMULATOR "${_gw_emu}" CACHE STRING
        "Runs the target's programs on the build machine")
  endif()
endif()

# Debian packages built by CPack are for the board, not for the build machine
# (CPack would otherwise ask dpkg --print-architecture).
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf CACHE STRING "Debian architecture of the packages")
