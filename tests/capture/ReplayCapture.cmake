# SPDX-License-Identifier: GPL-3.0-or-later
# Replays one recorded capture headless (with its key log, where one lies beside it) and compares what
# tarnwick prints with the capture's expected lines. Run as a test:
#   cmake -DTARNWICK=path/to/tarnwick -DCAPTURE=path/to/NAME.pcap -P ReplayCapture.cmake
cmake_path(REPLACE_EXTENSION CAPTURE LAST_ONLY ".expected.jsonl" OUTPUT_VARIABLE expected_path)
cmake_path(REPLACE_EXTENSION CAPTURE LAST_ONLY ".keylog" OUTPUT_VARIABLE keylog_path)
set(command "${TARNWICK}" --headless --json --read "${CAPTURE}")
if(EXISTS "${keylog_path}")
  list(APPEND command --keylog "${keylog_path}")
endif()
set(ENV{TZ} GMT0)
execute_process(COMMAND ${command} RESULT_VARIABLE status OUTPUT_VARIABLE printed ERROR_VARIABLE errors)
file(READ "${expected_path}" expected)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "tarnwick exited with ${status} on ${CAPTURE}:\n${errors}")
endif()
if(NOT printed STREQUAL expected)
  message(FATAL_ERROR "${CAPTURE}: tarnwick printed\n${printed}\ninstead of\n${expected}\n${errors}")
endif()
