# Our own JACK back end of the MIDI service, where pkg-config finds libjack's headers. libjack
# itself is loaded at run time (platform/midi/JackLibrary.cpp): PipeWire's when its daemon
# answers, else jackd's.
function(velmora_midi_backend_jack target)
  if(WIN32)
    return()
  endif()
  find_package(PkgConfig QUIET)
  if(NOT PKG_CONFIG_FOUND)
    return()
  endif()
  pkg_check_modules(VELMORA_LIBJACK IMPORTED_TARGET GLOBAL jack)
  if(NOT VELMORA_LIBJACK_FOUND)
    message(STATUS "MIDI: libjack not found, no JACK back end")
    return()
  endif()
  # Every jack_* call of the program, its tools and its tests goes through this library.
  add_library(velmora_jack STATIC ${CMAKE_SOURCE_DIR}/platform/midi/JackLibrary.cpp
                                  ${CMAKE_SOURCE_DIR}/platform/midi/ByteRing.cpp)
  target_include_directories(velmora_jack PUBLIC ${CMAKE_SOURCE_DIR} ${VELMORA_LIBJACK_INCLUDE_DIRS})
  target_compile_options(velmora_jack PUBLIC ${VELMORA_LIBJACK_CFLAGS_OTHER})
  if(CMAKE_LIBRARY_ARCHITECTURE)
    target_compile_definitions(velmora_jack PRIVATE
      VELMORA_PIPEWIRE_JACK="/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/pipewire-0.3/jack/libjack.so.0")
  endif()
  target_link_libraries(velmora_jack PUBLIC ${CMAKE_DL_LIBS} Threads::Threads PRIVATE velmora_options)

  target_sources(${target} PRIVATE ${CMAKE_SOURCE_DIR}/platform/midi/JackMidiService.cpp
                                   ${CMAKE_SOURCE_DIR}/platform/midi/JackFollowingMidiService.cpp)
  target_compile_definitions(${target} PUBLIC VELMORA_MIDI_JACK)
  target_link_libraries(${target} PUBLIC velmora_jack)
  message(STATUS "MIDI: JACK back end")
endfunction()
