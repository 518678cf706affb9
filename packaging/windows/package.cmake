# Makes the Windows packages from a build of the Windows programs: installs it into a scratch tree,
# then makes the MSI vortlink-<version>-x64.msi of that tree with wixl (msitools), and a zip of
# the same tree.
#
# usage: cmake -DBUILD_DIR=<Windows build> -DOUTPUT_DIR=<dir> [-DVERSION=<x.y.z>] [-DWORK_DIR=<dir>]
#              -P package.cmake
# VERSION defaults to the build's project version; another one makes a package of the same files
# that announces that version, as a later release would.
cmake_minimum_required(VERSION 3.25)
foreach(variable BUILD_DIR OUTPUT_DIR)
    if(NOT ${variable})
        message(FATAL_ERROR "package.cmake needs -D${variable}=...")
    endif()
endforeach()
load_cache(${BUILD_DIR} READ_WITH_PREFIX build_ CMAKE_PROJECT_VERSION)
if(NOT VERSION)
    set(VERSION ${build_CMAKE_PROJECT_VERSION})
endif()
if(NOT VERSION MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+$")
    message(FATAL_ERROR "VERSION ${VERSION} is not major.minor.patch")
endif()
if(NOT WORK_DIR)
    set(WORK_DIR ${OUTPUT_DIR}/windows-work)
endif()
foreach(tool wixl wixl-heat msibuild)
    string(MAKE_C_IDENTIFIER ${tool} name)
    find_program(${name}_program ${tool} REQUIRED)
endforeach()
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR} ${OUTPUT_DIR})

# The tree as it lands under %ProgramFiles%\Quorrel: everything the build installs, but for what
# only Linux reads (the udev rule, the manual page, the catalogue's Linux place under share).
set(STAGE_DIR ${WORK_DIR}/stage)
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${STAGE_DIR} --strip
                OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
file(REMOVE_RECURSE ${STAGE_DIR}/share ${STAGE_DIR}/lib/udev)
# At its top, as Windows users look for them: the README and the licence.
get_filename_component(source_dir ${CMAKE_CURRENT_LIST_DIR}/../.. ABSOLUTE)
file(COPY_FILE ${source_dir}/README.md ${STAGE_DIR}/README.md)
file(COPY_FILE ${source_dir}/packaging/debian/copyright ${STAGE_DIR}/LICENSE.txt)
if(NOT EXISTS ${STAGE_DIR}/bin/vortlink.dll)
    message(FATAL_ERROR "The install tree of ${BUILD_DIR} has no bin/vortlink.dll")
endif()

set(package_name vortlink-${VERSION}-x64)
set(msi ${OUTPUT_DIR}/${package_name}.msi)
set(zip ${OUTPUT_DIR}/${package_name}.zip)

# The template's values. The UpgradeCode is the product's identity for good; the ProductCode of a
# release is a name-based UUID of its version, so a rebuilt release keeps its ProductCode and
# every other release has a new one.
set(product_name "Quorrel Controller Software")
set(manufacturer Kestrova)
set(contact "quorrel-software@kestrova.example")
set(upgrade_code 7D3E1F0A-52C4-4B8E-9A61-0F2B6C9D4E17)
string(UUID product_code NAMESPACE ${upgrade_code} NAME "vortlink ${VERSION}" TYPE SHA1 UPPER)
set(path_component SystemPathEntry)
string(UUID path_component_guid NAMESPACE ${upgrade_code} NAME ${path_component} TYPE SHA1 UPPER)
set(version ${VERSION})
configure_file(${CMAKE_CURRENT_LIST_DIR}/vortlink.wxs.in ${WORK_DIR}/vortlink.wxs @ONLY)

# One component per file, with the stable component GUIDs wixl derives from their paths.
file(GLOB_RECURSE staged_files LIST_DIRECTORIES false ${STAGE_DIR}/*)
list(SORT staged_files)
list(JOIN staged_files "\n" file_list)
file(WRITE ${WORK_DIR}/files.txt "${file_list}\n")
execute_process(COMMAND ${wixl_heat_program} --prefix ${STAGE_DIR}/ --directory-ref INSTALLDIR
                        --component-group InstalledFiles --var var.StageDir --win64
                INPUT_FILE ${WORK_DIR}/files.txt OUTPUT_FILE ${WORK_DIR}/files.wxs
                COMMAND_ERROR_IS_FATAL ANY)
# wixl takes sources relative to its working directory only.
execute_process(COMMAND ${wixl_program} --arch x64 -D Win64=yes -D StageDir=.
                        -o ${msi} ${WORK_DIR}/vortlink.wxs ${WORK_DIR}/files.wxs
                WORKING_DIRECTORY ${STAGE_DIR} COMMAND_ERROR_IS_FATAL ANY)

# bin on the system PATH, appended to what is there ([~];...), and only that part taken away
# again when the product is removed (the '-' of "=-*"; '*' is the machine's environment, as the
# package installs per machine). The two actions that apply the table go where the installer's
# standard sequence has them.
execute_process(COMMAND ${msibuild_program} ${msi}
    -q "CREATE TABLE `Environment` (`Environment` CHAR(72) NOT NULL, `Name` CHAR(255) NOT NULL LOCALIZABLE, `Value` CHAR(255) LOCALIZABLE, `Component_` CHAR(72) NOT NULL PRIMARY KEY `Environment`)"
    -q "INSERT INTO `Environment` (`Environment`, `Name`, `Value`, `Component_`) VALUES ('SystemPath', '=-*PATH', '[~];[INSTALLDIR]bin', '${path_component}')"
    -q "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('RemoveEnvironmentStrings', 3300)"
    -q "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('WriteEnvironmentStrings', 5200)"
    COMMAND_ERROR_IS_FATAL ANY)

# The zip holds the same tree under one folder named as the package.
file(COPY ${STAGE_DIR}/ DESTINATION ${WORK_DIR}/${package_name})
file(REMOVE ${zip})
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${zip} --format=zip ${package_name}
                WORKING_DIRECTORY ${WORK_DIR} COMMAND_ERROR_IS_FATAL ANY)
file(REMOVE_RECURSE ${WORK_DIR})
message(STATUS "Windows packages: ${msi} ${zip}")
