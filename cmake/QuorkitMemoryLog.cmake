# The leak-tracking configuration (QUORKIT_MEMORY_LOG=ON, presets *-memlog). It swaps, by file,
# the default build's inert tracking interface (src/PlatformMemoryTracking.cpp) and pass-through
# memory services (src/PlatformMemory.cpp) for the live tracker in src/memlog/, which logs every
# memory event through the debug-help module and reports the blocks still allocated at the end.
# The exported interface is the same in both configurations. Included by the top CMakeLists.txt
# right after quorkit_objects is created.
option(QUORKIT_MEMORY_LOG "Track every memory block, log each event with its stack, report leaks at the end" OFF)

if(QUORKIT_MEMORY_LOG)
  get_target_property(_quorkit_sources quorkit_objects SOURCES)
  list(REMOVE_ITEM _quorkit_sources
       "${PROJECT_SOURCE_DIR}/src/PlatformMemory.cpp"
       "${PROJECT_SOURCE_DIR}/src/PlatformMemoryTracking.cpp")
  file(GLOB _quorkit_memlog_sources CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/src/memlog/*.cpp")
  set_property(TARGET quorkit_objects PROPERTY SOURCES ${_quorkit_sources} ${_quorkit_memlog_sources})

  # The test areas whose code is the same object code in both configurations (the PAL, the heap,
  # the prime numbers, sockets, the debug-help module driven directly) are tested by the default
  # build only; this one runs the platform tests, whose memory services it changes, and its own.
  set(QUORKIT_SKIPPED_TEST_AREAS pal heap util socket debug)
  message(STATUS "quorkit: leak-tracking build (QUORKIT_MEMORY_LOG=ON)")
endif()
