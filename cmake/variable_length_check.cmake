# Fails when a driver source indexes a variable-length kernel structure through the one-element
# array it declares (DEVICE_RELATIONS::Objects, IO_RESOURCE_REQUIREMENTS_LIST::List,
# IO_RESOURCE_LIST::Descriptors, CM_RESOURCE_LIST::List, CM_PARTIAL_RESOURCE_LIST::
# PartialDescriptors, IO_ERROR_LOG_PACKET::DumpData). An optimising compiler may assume such an
# array is never indexed past its first element, so the image, built with optimisation, could
# drop entries the host builds keep. Entries are reached through addresses computed from the
# structure's base instead.
#   cmake -DSOURCES=a.cpp;b.cpp -DSTAMP=file -P variable_length_check.cmake
set(arrays "Objects|List|Descriptors|PartialDescriptors|DumpData")
set(found "")
foreach(source IN LISTS SOURCES)
    file(STRINGS ${source} lines)
    set(number 0)
    foreach(line IN LISTS lines)
        math(EXPR number "${number} + 1")
        if(line MATCHES "(->|\\.)(${arrays})[ \t]*\\[")
            string(STRIP "${line}" text)
            string(APPEND found "\n  ${source}:${number}: ${text}")
        endif()
    endforeach()
endforeach()
if(found)
    message(FATAL_ERROR "variable-length structure indexed through its declared array:${found}")
endif()
file(TOUCH ${STAMP})
