# Writes a program's manual page from its --help and --version output, gzip-compressed as Debian
# installs manual pages. Run with cmake -P and:
#   PROGRAM  the program          NAME     its name in the page    SECTION  the manual section
#   SUMMARY  the NAME line        MANUAL   the manual's title      OUTPUT   the .gz to write
# Headings the program prints as "Heading:" become sections of their own ("Exit status:" ->
# EXIT STATUS); "Environment:" and "Files:" help2man knows already.
find_program(HELP2MAN help2man REQUIRED)
find_program(GZIP gzip REQUIRED)
get_filename_component(output_directory "${OUTPUT}" DIRECTORY)
string(REGEX REPLACE "\\.gz$" "" page "${OUTPUT}")

# The program's library starts up as it would for a user; keep its shared state apart.
set(ENV{VORTLINK_SHARED_NAME} "/vortlink-help2man-${NAME}")
set(ENV{QT_QPA_PLATFORM} "offscreen")
execute_process(
    COMMAND "${HELP2MAN}" --no-info --no-discard-stderr --section=${SECTION} --name=${SUMMARY}
            --manual=${MANUAL} --source=Kestrova "${PROGRAM}"
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

file(WRITE "${page}" "${text}")
execute_process(COMMAND "${GZIP}" -9nf "${page}" RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "gzip ${page} failed")
endif()
