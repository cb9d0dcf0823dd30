# The driver's resources. filter/hotpflt.mc is the one source of the event messages: windmc
# compiles it into the binary message table and into hotpflt_messages.h, the message codes the
# driver writes, so the two cannot drift apart. The image links the table and the version resource
# of filter/hotpflt.rc; the host builds compile the same table for the stand-in's event log.
#
#   hotpflt_messages      interface library: the directory of hotpflt_messages.h, and the build
#                         of the table before anything that links it
#   hotp_message_file     host builds only: hotpflt_messages plus HOTP_MESSAGE_FILE, the path of
#                         the compiled table, for whatever registers the driver's event source
#   hotp_driver_resources(target)   links the resource object into the image

find_program(HOTP_WINDMC i686-w64-mingw32-windmc REQUIRED)

set(HOTP_MESSAGES_DIR ${CMAKE_BINARY_DIR}/messages)
set(HOTP_MESSAGE_FILE ${HOTP_MESSAGES_DIR}/MSG00411.bin)
set(HOTP_MESSAGE_OUTPUTS ${HOTP_MESSAGE_FILE} ${HOTP_MESSAGES_DIR}/hotpflt_messages.h
                         ${HOTP_MESSAGES_DIR}/hotpflt_messages.rc)

# windmc ends every text with the line end of its source line, and the table stores CR LF; the
# copy it reads has CR LF line ends whatever the checkout has. The copy's name names the outputs.
configure_file(${PROJECT_SOURCE_DIR}/filter/hotpflt.mc ${HOTP_MESSAGES_DIR}/hotpflt_messages.mc
               @ONLY NEWLINE_STYLE CRLF)

# -C 65001: the source is UTF-8. -U: every text is stored as UTF-16.
add_custom_command(
    OUTPUT ${HOTP_MESSAGE_OUTPUTS}
    COMMAND ${HOTP_WINDMC} -C 65001 -U -h . -r . hotpflt_messages.mc
    DEPENDS ${HOTP_MESSAGES_DIR}/hotpflt_messages.mc
    WORKING_DIRECTORY ${HOTP_MESSAGES_DIR}
    COMMENT "Compiling the event message table"
    VERBATIM)

if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
    # windres leaves the code page of every resource data entry 0; the image's resources declare
    # 1252, which the object gets before it is linked.
    find_package(Python3 REQUIRED COMPONENTS Interpreter)
    set(HOTP_RESOURCE_OBJECT ${HOTP_MESSAGES_DIR}/hotpflt_resources.o)
    add_custom_command(
        OUTPUT ${HOTP_RESOURCE_OBJECT}
        COMMAND ${CMAKE_RC_COMPILER} -I ${HOTP_MESSAGES_DIR}
                -i ${PROJECT_SOURCE_DIR}/filter/hotpflt.rc -o hotpflt_resources_windres.o
        COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/scripts/set_resource_codepage.py
                hotpflt_resources_windres.o ${HOTP_RESOURCE_OBJECT} 1252
        DEPENDS ${HOTP_MESSAGE_OUTPUTS} ${PROJECT_SOURCE_DIR}/filter/hotpflt.rc
                ${PROJECT_SOURCE_DIR}/scripts/set_resource_codepage.py
        WORKING_DIRECTORY ${HOTP_MESSAGES_DIR}
        COMMENT "Compiling the image's resources"
        VERBATIM)
    add_custom_target(hotpflt_message_build DEPENDS ${HOTP_MESSAGE_OUTPUTS} ${HOTP_RESOURCE_OBJECT})
else()
    add_custom_target(hotpflt_message_build DEPENDS ${HOTP_MESSAGE_OUTPUTS})
endif()

add_library(hotpflt_messages INTERFACE)
target_include_directories(hotpflt_messages INTERFACE ${HOTP_MESSAGES_DIR})
add_dependencies(hotpflt_messages hotpflt_message_build)

if(NOT CMAKE_SYSTEM_NAME STREQUAL "Windows")
    add_library(hotp_message_file INTERFACE)
    target_compile_definitions(hotp_message_file INTERFACE HOTP_MESSAGE_FILE="${HOTP_MESSAGE_FILE}")
    target_link_libraries(hotp_message_file INTERFACE hotpflt_messages)
endif()

# The resource object is linked by path rather than listed as a source, so that its rule stays
# with hotpflt_message_build alone and never runs twice in a parallel build.
function(hotp_driver_resources target)
    target_link_libraries(${target} PRIVATE hotpflt_messages)
    if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
        target_link_libraries(${target} PRIVATE ${HOTP_RESOURCE_OBJECT})
    endif()
endfunction()
