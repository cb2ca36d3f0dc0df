# The report's script and style and the flame graph's script are tracked as plain files and
# compiled into quorkit-memlog as strings, so that every file it writes is self-contained.
#
# Included from the tool's CMakeLists.txt, it sets MEMLOG_ASSET_SOURCES to the generated source;
# run with -P, it writes that source.
set(memlog_assets
    "report.js kReportScript </script"
    "report.css kReportStyle </style"
    "flame.js kFlameScript ]]>")

if(CMAKE_SCRIPT_MODE_FILE)
  set(text "// Generated from tools/memlog/src/assets by embed.cmake; do not edit.\n")
  string(APPEND text "#include \"assets.h\"\n\nnamespace memlog {\n")
  foreach(entry IN LISTS memlog_assets)
    separate_arguments(entry)
    list(GET entry 0 file)
    list(GET entry 1 symbol)
    list(GET entry 2 closer)
    file(READ "${DIR}/${file}" body)
    string(TOLOWER "${body}" lower)
    # The text is pasted inside a raw string and then inside an element of the page.
    foreach(bad ")asset\"" "${closer}")
      string(FIND "${lower}" "${bad}" at)
      if(NOT at EQUAL -1)
        message(FATAL_ERROR "${file} holds \"${bad}\", which would end its container early")
      endif()
    endforeach()
    string(APPEND text "\nextern const char ${symbol}[] = R\"asset(${body})asset\";\n")
  endforeach()
  string(APPEND text "\n}  // namespace memlog\n")
  file(WRITE "${OUT}.tmp" "${text}")
  file(RENAME "${OUT}.tmp" "${OUT}")
  return()
endif()

set(memlog_asset_dir "${CMAKE_CURRENT_LIST_DIR}")
set(MEMLOG_ASSET_SOURCES "${CMAKE_CURRENT_BINARY_DIR}/memlog_assets.cpp")
set(memlog_asset_inputs "${memlog_asset_dir}/embed.cmake")
foreach(entry IN LISTS memlog_assets)
  separate_arguments(entry)
  list(GET entry 0 file)
  list(APPEND memlog_asset_inputs "${memlog_asset_dir}/${file}")
endforeach()
add_custom_command(
  OUTPUT ${MEMLOG_ASSET_SOURCES}
  COMMAND ${CMAKE_COMMAND} "-DDIR=${memlog_asset_dir}" "-DOUT=${MEMLOG_ASSET_SOURCES}" -P
          "${memlog_asset_dir}/embed.cmake"
  DEPENDS ${memlog_asset_inputs}
  COMMENT "Embedding the report's script and style")
