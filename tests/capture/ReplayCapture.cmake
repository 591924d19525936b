# SPDX-License-Identifier: GPL-3.0-or-later
# Replays one recorded capture headless (with its key log, where one lies beside it) and compares what
# tarnwick prints with the capture's expected lines. Run as a test:
#   cmake -DTARNWICK=path/to/tarnwick -DCAPTURE=path/to/NAME.pcap [-DSEALED_LISTS_NOTHING=ON] [-DHTTPS_ONLY=ON]
#         -P ReplayCapture.cmake
# SEALED_LISTS_NOTHING: the capture, where it has a key log, lists nothing without it. HTTPS_ONLY: no
# line names a plain http:// address. With TARNWICK_UPDATE_EXPECTED=1 in the environment, what tarnwick
# prints becomes the expected lines (scripts/update-expected.sh); the other checks still hold.
cmake_path(REPLACE_EXTENSION CAPTURE LAST_ONLY ".expected.jsonl" OUTPUT_VARIABLE expected_path)
cmake_path(REPLACE_EXTENSION CAPTURE LAST_ONLY ".keylog" OUTPUT_VARIABLE keylog_path)
set(command "${TARNWICK}" --headless --json --read "${CAPTURE}")
if(EXISTS "${keylog_path}")
  list(APPEND command --keylog "${keylog_path}")
endif()
set(ENV{TZ} GMT0)
execute_process(COMMAND ${command} RESULT_VARIABLE status OUTPUT_VARIABLE printed ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "tarnwick exited with ${status} on ${CAPTURE}:\n${errors}")
endif()
if("$ENV{TARNWICK_UPDATE_EXPECTED}" STREQUAL "1")
  file(WRITE "${expected_path}" "${printed}")
  message(STATUS "wrote ${expected_path}")
endif()
file(READ "${expected_path}" expected)
# A capture that lists nothing tests nothing: a decryption that fails would pass unseen.
if(expected STREQUAL "")
  message(FATAL_ERROR "${expected_path} is empty:\n${errors}")
endif()
if(NOT printed STREQUAL expected)
  message(FATAL_ERROR "${CAPTURE}: tarnwick printed\n${printed}\ninstead of\n${expected}\n${errors}")
endif()
if(HTTPS_ONLY AND printed MATCHES "http://")
  message(FATAL_ERROR "${CAPTURE}: a plain http:// address among lines read through TLS:\n${printed}")
endif()
if(SEALED_LISTS_NOTHING AND EXISTS "${keylog_path}")
  execute_process(COMMAND "${TARNWICK}" --headless --json --read "${CAPTURE}" RESULT_VARIABLE sealed_status
    OUTPUT_VARIABLE sealed_printed ERROR_VARIABLE sealed_errors)
  if(NOT sealed_status EQUAL 0 OR NOT sealed_printed STREQUAL "")
    message(FATAL_ERROR "${CAPTURE}: without its key log tarnwick exited with ${sealed_status} and printed\n"
      "${sealed_printed}\n${sealed_errors}")
  endif()
endif()
