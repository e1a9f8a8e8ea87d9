# Hardening, as Debian builds its packages (dpkg-buildflags with
# hardening=+all): stack protector, fortified C library calls, format-string
# errors, position-independent executables and full RELRO with immediate
# binding. For the native and the cross build alike; scripts/check-packages
# checks the result in the programs themselves.
option(GATEWARDEN_HARDENING "Build with the distribution's hardening flags" ON)
if(GATEWARDEN_HARDENING)
  include(CheckPIESupported)
  check_pie_supported(LANGUAGES C CXX)
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  add_compile_options(-fstack-protector-strong -Werror=format-security)
  # _FORTIFY_SOURCE needs optimisation, and the sanitizers check those calls
  # themselves.
  if(NOT GATEWARDEN_SANITIZE)
    add_compile_options("$<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
  endif()
  add_link_options(LINKER:-z,relro LINKER:-z,now)
endif()
