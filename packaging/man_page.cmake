# The gzipped man page of one program, from its --help and --version:
#   cmake -DHELP2MAN=... -DGZIP=... -DPROGRAM=... -DDESCRIPTION=... -DOUTPUT=NAME.1.gz
#         -P man_page.cmake
# The window's program runs off screen. A program that fails --help or --version, or
# does not answer within the time, fails the build rather than leave an empty page.
string(REGEX REPLACE "\\.gz$" "" page "${OUTPUT}")
get_filename_component(dir "${page}" DIRECTORY)
file(MAKE_DIRECTORY "${dir}")
set(ENV{QT_QPA_PLATFORM} offscreen)
set(ENV{LC_ALL} C.UTF-8)
# Each option alone first, as a child of this script: one that never returns (a window
# shown instead of the help) is ended here. help2man's own child would outlive it.
foreach(option --help --version)
    execute_process(COMMAND "${PROGRAM}" ${option} TIMEOUT 30 RESULT_VARIABLE status
                    OUTPUT_QUIET ERROR_VARIABLE errors)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "${PROGRAM} ${option}: ${status}\n${errors}")
    endif()
endforeach()
execute_process(
    COMMAND "${HELP2MAN}" --no-info --section=1 "--name=${DESCRIPTION}" "--output=${page}"
            "${PROGRAM}"
    TIMEOUT 60
    RESULT_VARIABLE status
    ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
    file(REMOVE "${page}")
    message(FATAL_ERROR "help2man ${PROGRAM}: ${status}\n${errors}")
endif()
execute_process(COMMAND "${GZIP}" -9nf "${page}" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip ${page}: ${status}")
endif()
