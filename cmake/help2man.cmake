# Writes a program's manual page from its --help and --version output, gzip-compressed as Debian
# installs manual pages. Run with cmake -P and:
#   PROGRAM  the program          NAME     its name in the page    SECTION  the manual section
#   SUMMARY  the NAME line        MANUAL   the manual's title      OUTPUT   the .gz to write
#   INCLUDE  (may be empty) a help2man include file with further sections
# Headings the program prints as "Heading:" become sections of their own ("Exit status:" ->
# EXIT STATUS); "Environment:" and "Files:" help2man knows already.
find_program(HELP2MAN help2man REQUIRED)
find_program(GZIP gzip REQUIRED)
get_filename_component(output_directory "${OUTPUT}" DIRECTORY)
string(REGEX REPLACE "\\.gz$" "" page "${OUTPUT}")

# The program's library starts up as it would for a user; keep its shared state apart.
set(ENV{VORTLINK_SHARED_NAME} "/vortlink-help2man-${NAME}")
set(ENV{QT_QPA_PLATFORM} "offscreen")
set(include_option)
if(INCLUDE)
    set(include_option "--include=${INCLUDE}")
endif()
execute_process(
    COMMAND "${HELP2MAN}" --no-info --no-discard-stderr --section=${SECTION} --name=${SUMMARY}
            --manual=${MANUAL} --source=Kestrova ${include_option} "${PROGRAM}"
    OUTPUT_VARIABLE text
    RESULT_VARIABLE result)
if(NOT result EQUAL 0 OR text STREQUAL "")
    message(FATAL_ERROR "help2man ${PROGRAM} failed (${result})")
endif()

# help2man names the page after the file it ran; the installed name is NAME.
string(REGEX REPLACE "\\.TH \"?[^ \"]+\"? " ".TH \"${NAME}\" " text "${text}")
# "Heading:" lines that help2man left as subsections become sections.
string(REGEX MATCHALL "\n\\.SS \"[^\"\n]*:\"\n" subsections "${text}")
foreach(subsection IN LISTS subsections)
    string(REGEX REPLACE "\n\\.SS \"([^\"\n]*):\"\n" "\\1" heading "${subsection}")
    string(TOUPPER "${heading}" heading)
    string(REPLACE "${subsection}" "\n.SH \"${heading}\"\n" text "${text}")
endforeach()

# Sections added from INCLUDE come after the program's own ones; the exit status belongs after
# all that describes the commands, before ENVIRONMENT as in man-pages(7)'s order.
string(FIND "${text}" "\n.SH \"EXIT STATUS\"\n" exit_start)
string(FIND "${text}" "\n.SH ENVIRONMENT\n" environment_start)
if(exit_start GREATER -1 AND environment_start GREATER exit_start)
    string(SUBSTRING "${text}" ${exit_start} -1 after_exit)
    string(SUBSTRING "${after_exit}" 1 -1 after_heading)
    string(FIND "${after_heading}" "\n.SH " exit_length)
    math(EXPR exit_length "${exit_length} + 1")
    string(SUBSTRING "${text}" ${exit_start} ${exit_length} exit_section)
    string(REPLACE "${exit_section}" "" text "${text}")
    string(REPLACE "\n.SH ENVIRONMENT\n" "${exit_section}\n.SH ENVIRONMENT\n" text "${text}")
endif()

file(WRITE "${page}" "${text}")
execute_process(COMMAND "${GZIP}" -9nf "${page}" RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "gzip ${page} failed")
endif()
