# Writes the Event Log's message file (for windmc) from the event table:
#   cmake -DTABLE=src/env/event_table.inc -DOUT=events.mc -P event_messages.cmake
# Fails on a row it cannot read, on an id that is not the next one, and on a
# message that windmc would read as something else, so that the message table
# and the EventId enumeration cannot differ.

file(STRINGS ${TABLE} lines)
set(ROW "^VELMOR_EVENT\\(([0-9]+), ([a-z_]+), (information|warning|error), (info|warning|error), \"([^\"%]*)\"\\)$")
set(mc "; The messages of the Windows Event Log events that velmor-helper.exe reports,
; written by the build from src/env/event_table.inc; windmc and windres compile
; them into the executable's message table (cmake/resources.cmake). Severity
; Success and facility 0: each message id is the event id itself. Each event
; has one insertion string, %1, the line the helper also writes to its log
; file; the first line says what kind of event it is.

MessageIdTypedef=DWORD
SeverityNames=(Success=0x0:VELMOR_SEVERITY_SUCCESS)
FacilityNames=(Helper=0x0:VELMOR_FACILITY_HELPER)
LanguageNames=(English=0x409:MSG00409)
")
set(expected 1)
foreach(line IN LISTS lines)
  if(line MATCHES "^VELMOR_EVENT")
    if(NOT line MATCHES "${ROW}")
      message(FATAL_ERROR "${TABLE}: not a row of the event table: ${line}")
    endif()
    set(id ${CMAKE_MATCH_1})
    string(TOUPPER ${CMAKE_MATCH_2} symbol)
    set(text "${CMAKE_MATCH_5}")
    if(NOT id EQUAL expected)
      message(FATAL_ERROR "${TABLE}: event ${CMAKE_MATCH_2} has id ${id}, expected ${expected}")
    endif()
    if(NOT text MATCHES "\\.$")
      message(FATAL_ERROR "${TABLE}: the message of ${CMAKE_MATCH_2} does not end its sentence")
    endif()
    math(EXPR expected "${expected} + 1")
    string(APPEND mc "
MessageId=${id}
Severity=Success
Facility=Helper
SymbolicName=VELMOR_EVENT_${symbol}
Language=English
${text}%n%1
.
")
  elseif(line MATCHES "^VELMOR_EVENT|^[^/ ]")
    message(FATAL_ERROR "${TABLE}: not a row of the event table: ${line}")
  endif()
endforeach()
if(expected EQUAL 1)
  message(FATAL_ERROR "${TABLE}: no events")
endif()
# Written only when it changes, so that windmc runs only then.
file(CONFIGURE OUTPUT ${OUT} CONTENT "${mc}" @ONLY)
