# Writes zarvik's man page from its own help: help2man takes `zarvik --help`
# and `--version`; the subcommands' help goes in as a section of its own.
#   cmake -DZARVIK=... -DHELP2MAN=... -DINCLUDE=zarvik.h2m -DOUTPUT=zarvik.1.gz -P make_man_page.cmake
get_filename_component(dir ${OUTPUT} DIRECTORY)
set(include_file ${dir}/zarvik-commands.h2m)
file(READ ${INCLUDE} text)
string(APPEND text "\n[COMMANDS]\n")
foreach(command list plan update)
    execute_process(COMMAND ${ZARVIK} ${command} --help OUTPUT_VARIABLE help RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "zarvik ${command} --help failed")
    endif()
    # roff: a line that starts with a dot or a quote would be a request.
    string(REGEX REPLACE "\n([.'])" "\n\\\\&\\1" help "${help}")
    string(APPEND text ".SS \"zarvik ${command}\"\n.nf\n${help}.fi\n")
endforeach()
file(WRITE ${include_file} "${text}")
execute_process(COMMAND ${HELP2MAN} --no-info --section 1 --source "Zarvik"
        --name "update the firmware of USB-attached Orbrey 3D printers"
        --include ${include_file} --output ${dir}/zarvik.1 ${ZARVIK}
    RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "help2man failed")
endif()
execute_process(COMMAND gzip -9n -f ${dir}/zarvik.1 RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip failed")
endif()
