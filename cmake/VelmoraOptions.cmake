# Compiler settings shared by every target of the project.
add_library(velmora_options INTERFACE)
target_compile_features(velmora_options INTERFACE cxx_std_20)
if(MSVC)
  target_compile_options(velmora_options INTERFACE /W4)
  if(VELMORA_WERROR)
    target_compile_options(velmora_options INTERFACE /WX)
  endif()
else()
  target_compile_options(velmora_options INTERFACE -Wall -Wextra -Wpedantic)
  if(VELMORA_WERROR)
    target_compile_options(velmora_options INTERFACE -Werror)
  endif()
endif()

if(VELMORA_SANITIZE)
  list(JOIN VELMORA_SANITIZE "," _velmora_sanitizers)
  add_compile_options(-fsanitize=${_velmora_sanitizers} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${_velmora_sanitizers})
endif()

# The hardening Debian builds its packages with, and the stack clash and control flow
# protection its next release adds (where the compiler has them). _FORTIFY_SOURCE needs
# optimisation (glibc warns without it, and warnings are errors), so Debug builds go without;
# sanitizers bring their own checks and clash with fortified calls; Windows has its own flags.
if(VELMORA_HARDENING AND NOT WIN32 AND NOT VELMORA_SANITIZE)
  include(CheckCXXCompilerFlag)
  include(CheckPIESupported)
  check_pie_supported()
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  add_compile_options(-fstack-protector-strong
                      $<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-D_FORTIFY_SOURCE=2>)
  foreach(_velmora_flag -fstack-clash-protection -fcf-protection)
    string(MAKE_C_IDENTIFIER "VELMORA_HAS${_velmora_flag}" _velmora_flag_var)
    check_cxx_compiler_flag(${_velmora_flag} ${_velmora_flag_var})
    if(${_velmora_flag_var})
      add_compile_options(${_velmora_flag})
    endif()
  endforeach()
  add_link_options(LINKER:-z,relro LINKER:-z,now)
endif()
