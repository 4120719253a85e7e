# Which FFmpeg the library is built against.
#   AE_FFMPEG=system (the default, as distributions package it): the system's, found with pkg-config.
#   AE_FFMPEG=bundled: the lean LGPL build of scripts/ffmpeg.sh (AE_FFMPEG_PREFIX, or built when first
#   configured). Its shared libraries are copied beside the module and installed with it, and the module
#   finds them there ($ORIGIN): a user can still replace them. Their names carry a suffix of their own, so
#   they never meet another FFmpeg loaded into the same process.
# Sets AE_FFMPEG_SUFFIX (for pkg-config names) and AE_BUNDLED_LIBS (the bundled libraries in the build tree).
set(AE_FFMPEG system CACHE STRING "FFmpeg to build against: system or bundled")
set_property(CACHE AE_FFMPEG PROPERTY STRINGS system bundled)
set(AE_FFMPEG_PREFIX "" CACHE PATH "The bundled FFmpeg's install prefix (scripts/ffmpeg.sh linux prints it)")
set(AE_FFMPEG_SUFFIX "")
set(AE_BUNDLED_LIBS "")

if(AE_FFMPEG STREQUAL "bundled")
  if(NOT AE_FFMPEG_PREFIX)
    message(STATUS "Building the bundled FFmpeg (scripts/ffmpeg.sh linux; cached under /var/tmp)")
    execute_process(COMMAND ${PROJECT_SOURCE_DIR}/scripts/ffmpeg.sh linux OUTPUT_VARIABLE prefix
                    OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR "scripts/ffmpeg.sh linux failed")
    endif()
    set(AE_FFMPEG_PREFIX ${prefix} CACHE PATH "The bundled FFmpeg's install prefix" FORCE)
  endif()
  set(AE_FFMPEG_SUFFIX _belmarun)
  set(ENV{PKG_CONFIG_LIBDIR} ${AE_FFMPEG_PREFIX}/lib/pkgconfig)
  set(ENV{PKG_CONFIG_PATH} "")
  # Under the names the loader asks for (the sonames), with their content.
  file(GLOB libs ${AE_FFMPEG_PREFIX}/lib/lib*${AE_FFMPEG_SUFFIX}.so.*)
  list(FILTER libs INCLUDE REGEX "\\.so\\.[0-9]+$")
  foreach(lib ${libs})
    get_filename_component(name ${lib} NAME)
    file(REAL_PATH ${lib} content)
    configure_file(${content} ${PROJECT_BINARY_DIR}/${name} COPYONLY)
    list(APPEND AE_BUNDLED_LIBS ${PROJECT_BINARY_DIR}/${name})
  endforeach()
  if(NOT AE_BUNDLED_LIBS)
    message(FATAL_ERROR "No FFmpeg libraries with the suffix ${AE_FFMPEG_SUFFIX} in ${AE_FFMPEG_PREFIX}/lib")
  endif()
  install(FILES ${AE_BUNDLED_LIBS} DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(DIRECTORY ${AE_FFMPEG_PREFIX}/licenses/ DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/belmarun-audioextract/ffmpeg)
  install(FILES ${AE_FFMPEG_PREFIX}/SOURCE DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/belmarun-audioextract/ffmpeg)
  # Nothing from the system beyond the C library, libm, zlib and OpenSSL: the C++ runtime is linked in
  # (only the eight C calls leave the module).
  add_link_options(-static-libstdc++ -static-libgcc)
elseif(NOT AE_FFMPEG STREQUAL "system")
  message(FATAL_ERROR "AE_FFMPEG is system or bundled, not ${AE_FFMPEG}")
endif()

# pkg-config's answers are cached, and another FFmpeg (or another build of the bundled one) must be asked
# again: they are asked at every configure (a few lookups).
unset(__pkg_config_checked_FFMPEG CACHE)
unset(__pkg_config_checked_AVUTIL CACHE)
get_cmake_property(cached CACHE_VARIABLES)
list(FILTER cached INCLUDE REGEX "^pkgcfg_lib_(FFMPEG|AVUTIL)_")
foreach(var ${cached})
  unset(${var} CACHE)
endforeach()
