# Builds with the hardening Debian gives its packages: stack protector, _FORTIFY_SOURCE, PIE,
# full RELRO, format-string errors; where the compiler has them, stack clash protection and
# x86 control-flow protection as well. Flags given in CMAKE_CXX_FLAGS and
# CMAKE_EXE_LINKER_FLAGS (or CXXFLAGS and LDFLAGS at the first configure) win: a kind named
# there is not added, so the package build's `dpkg-buildflags` values are the ones used.
# Sanitizer and fuzz builds go without: their instrumentation does the checking there.
option(HIDDFU_HARDENING "Build with Debian's hardening flags" ON)
if(NOT HIDDFU_HARDENING OR NOT HIDDFU_SANITIZE STREQUAL "" OR HIDDFU_FUZZ)
  return()
endif()
include(CheckCXXCompilerFlag)
include(CheckPIESupported)

check_pie_supported()
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

set(given "${CMAKE_CXX_FLAGS}")
if(NOT given MATCHES "-fstack-protector")
  add_compile_options(-fstack-protector-strong)
endif()
if(NOT given MATCHES "_FORTIFY_SOURCE")
  # It needs optimisation; some compilers predefine it, hence the -U first.
  set(optimised "$<OR:$<CONFIG:Release>,$<CONFIG:RelWithDebInfo>,$<CONFIG:MinSizeRel>>")
  add_compile_options("$<${optimised}:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
endif()
if(NOT given MATCHES "format-security")
  add_compile_options(-Wformat -Werror=format-security)
endif()
foreach(flag -fstack-clash-protection -fcf-protection)
  string(MAKE_C_IDENTIFIER "hiddfu_has${flag}" supported)
  check_cxx_compiler_flag(${flag} ${supported})
  if(${supported} AND NOT given MATCHES "${flag}")
    add_compile_options(${flag})
  endif()
endforeach()

# ELF linkers only: Apple's linker has no -z options.
if(APPLE)
  return()
endif()
if(NOT CMAKE_EXE_LINKER_FLAGS MATCHES "relro")
  add_link_options(LINKER:-z,relro)
endif()
if(NOT CMAKE_EXE_LINKER_FLAGS MATCHES "-z,now")
  add_link_options(LINKER:-z,now)
endif()
