# Builds Dorvane's Windows installer from packaging/dorvane.wxs:
#   cmake -DWIXL=wixl -DMSIBUILD=msibuild -DVERSION=1.0.0 -DSOURCE_DIR=...
#         -DBINARY_DIR=... -DOUTPUT=file.msi -P Msi.cmake
# BINARY_DIR is the Windows build, built. Its install rules, the zip's,
# gather the files under their installed names in OUTPUT's name with
# ".files" added, where wixl finds them: the MSI holds what the zip holds.
#
# The upgrade code is Dorvane's for good: every version's installer carries
# it, so that Windows Installer finds the version installed before and
# replaces it. A major upgrade needs a new product code in each version;
# it is derived from the upgrade code and the version (a name-based UUID),
# so every build of one version has the same one.
set(DORVANE_UPGRADE_CODE FDF1E93D-1B18-4672-B24F-DD3D3992C624)
string(UUID _product_code NAMESPACE ${DORVANE_UPGRADE_CODE} NAME "Dorvane ${VERSION} x64" TYPE SHA1 UPPER)

# stop_unless_ran(WHAT): after execute_process into _result and _output,
# stops with WHAT and the output when the command failed.
macro(stop_unless_ran what)
  if(NOT _result EQUAL 0)
    file(REMOVE ${OUTPUT})
    message(FATAL_ERROR "${what}: ${_output}")
  endif()
endmacro()

set(_files ${OUTPUT}.files)
file(REMOVE_RECURSE ${_files})
file(REMOVE ${OUTPUT})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BINARY_DIR} --prefix ${_files}
  RESULT_VARIABLE _result OUTPUT_VARIABLE _output ERROR_VARIABLE _output)
stop_unless_ran("cmake --install ${BINARY_DIR} could not gather the installer's files")

execute_process(
  COMMAND ${WIXL} --arch x64 --define Version=${VERSION} --define ProductCode=${_product_code}
          --define UpgradeCode=${DORVANE_UPGRADE_CODE} --output ${OUTPUT} ${SOURCE_DIR}/packaging/dorvane.wxs
  WORKING_DIRECTORY ${_files}
  RESULT_VARIABLE _result OUTPUT_VARIABLE _output ERROR_VARIABLE _output)
stop_unless_ran("wixl could not build ${OUTPUT}")

# The install folder at the end of the machine's PATH: "=" sets it on
# install, "-" takes it out on uninstall, "*" makes it the system's;
# [~] keeps what PATH held. wixl has no Environment element, so the table
# and the two standard actions that apply it are written here.
execute_process(
  COMMAND ${MSIBUILD} ${OUTPUT}
  -q "CREATE TABLE `Environment` (`Environment` CHAR(72) NOT NULL, `Name` CHAR(255) NOT NULL LOCALIZABLE, `Value` CHAR(255) LOCALIZABLE, `Component_` CHAR(72) NOT NULL PRIMARY KEY `Environment`)"
  -q "INSERT INTO `Environment` (`Environment`, `Name`, `Value`, `Component_`) VALUES ('SystemPath', '=-*PATH', '[~];[INSTALLDIR]', 'Program')"
  -q "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('RemoveEnvironmentStrings', 3300)"
  -q "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('WriteEnvironmentStrings', 5200)"
  RESULT_VARIABLE _result OUTPUT_VARIABLE _output ERROR_VARIABLE _output)
stop_unless_ran("msibuild could not add the PATH entry to ${OUTPUT}")
