# Fails when a library folder includes a header of a library that must not be below it, a
# header of another folder's detail/, or, inside src/payload, a header of the run detail's or
# the timeline's folder from the modules they are built on.
# Run as: cmake -DSOURCE_DIR=<root> -P include_direction.cmake
#
# Each entry names a folder and the folders whose headers it may include (besides its own).
set(allowed_sdk/base "")
set(allowed_sdk/plan "sdk/base")
set(allowed_sdk/journal "sdk/base")
set(allowed_sdk/run "sdk/base;sdk/plan;sdk/journal")
set(allowed_src/contract "sdk/base")
set(allowed_src/telemetry "sdk/base;src/contract")
set(allowed_src/payload "sdk/base;sdk/plan;sdk/journal;sdk/run;src/contract;src/telemetry")
set(allowed_src/store "sdk/base;sdk/plan;sdk/journal;sdk/run;src/contract;src/telemetry;src/payload")
set(allowed_src/http "sdk/base")
set(allowed_src/api "sdk/base;sdk/plan;sdk/journal;sdk/run;src/contract;src/telemetry;src/payload;src/store;src/http")
set(allowed_src/app "sdk/base;sdk/plan;sdk/journal;sdk/run;src/contract;src/telemetry;src/payload;src/store;src/http;src/api")
set(folders sdk/base sdk/plan sdk/journal sdk/run src/contract src/telemetry src/payload src/store src/http src/api src/app)

# A detail/ folder holds what only the folder above it uses: its headers are included from that
# folder (sdk/plan/detail from sdk/plan, src/payload/run_detail/detail from
# src/payload/run_detail), and besides only by the files listed here for it.
set(detail_users_src/payload/run_detail "src/payload/indexes.cpp")

# Inside src/payload the run detail and the timeline have folders of their own, built on the
# modules beside them (the shared words, run files, timing, conversations): those modules include
# no header of the two folders, save the indexes kept with a view, which make every document's
# indexes and texts.
set(payload_rooms src/payload/run_detail src/payload/timeline)
set(room_users src/payload/indexes.hpp src/payload/indexes.cpp)

# The store's blocking forms are for tests and benchmarks: the server never blocks a thread to wait.
set(test_only_headers src/store/blocking.hpp)
set(test_only_users src/store/blocking.cpp)

set(faults 0)
foreach(folder IN LISTS folders)
  file(GLOB_RECURSE files "${SOURCE_DIR}/${folder}/*.hpp" "${SOURCE_DIR}/${folder}/*.cpp")
  foreach(file IN LISTS files)
    file(STRINGS "${file}" lines REGEX "^#include \"(sdk|src)/")
    file(RELATIVE_PATH rel "${SOURCE_DIR}" "${file}")
    foreach(line IN LISTS lines)
      foreach(header IN LISTS test_only_headers)
        list(FIND test_only_users "${rel}" listed)
        if(line STREQUAL "#include \"${header}\"" AND listed EQUAL -1)
          message(SEND_ERROR "${rel}: ${line} is for tests and benchmarks only")
          math(EXPR faults "${faults} + 1")
        endif()
      endforeach()
      if(line MATCHES "^#include \"([a-z_/]+)/detail/")
        set(holder "${CMAKE_MATCH_1}")
        string(FIND "${rel}" "${holder}/" at)
        list(FIND detail_users_${holder} "${rel}" listed)
        if(NOT at EQUAL 0 AND listed EQUAL -1)
          message(SEND_ERROR "${rel}: ${line} reaches into ${holder}/detail/, which only ${holder} uses")
          math(EXPR faults "${faults} + 1")
        endif()
      endif()
      if(folder STREQUAL "src/payload" AND line MATCHES "^#include \"(src/payload/[a-z_]+)/")
        set(room "${CMAKE_MATCH_1}")
        list(FIND payload_rooms "${room}" is_room)
        string(FIND "${rel}" "${room}/" inside)
        list(FIND room_users "${rel}" listed)
        if(NOT is_room EQUAL -1 AND NOT inside EQUAL 0 AND listed EQUAL -1)
          message(SEND_ERROR "${rel}: ${line} reaches up into ${room}, which is built on the modules beside it")
          math(EXPR faults "${faults} + 1")
        endif()
      endif()
      string(REGEX REPLACE "^#include \"([a-z]+/[a-z_]+)/.*" "\\1" target "${line}")
      if(target STREQUAL folder)
        continue()
      endif()
      list(FIND allowed_${folder} "${target}" at)
      if(at EQUAL -1)
        message(SEND_ERROR "${rel}: ${line} goes against the library order (${folder} may include: ${allowed_${folder}})")
        math(EXPR faults "${faults} + 1")
      endif()
    endforeach()
  endforeach()
endforeach()
if(faults GREATER 0)
  message(FATAL_ERROR "${faults} include(s) against the include order")
endif()
message(STATUS "includes follow the include order")
