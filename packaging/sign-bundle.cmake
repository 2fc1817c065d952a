# Signs the installed bundle from the inside out, as codesign requires: libraries and plugins
# first, then the app with its entitlements. Run at install, after the deployment step has put
# every library in place (rewriting a library's install names breaks its signature).
# Expects VELLORA_BUNDLE, VELLORA_IDENTITY ("-" for an ad-hoc signature) and VELLORA_ENTITLEMENTS.
find_program(codesign codesign REQUIRED)
if(VELLORA_IDENTITY STREQUAL "-")
  # Library validation, part of the hardened runtime, refuses libraries that carry no team
  # identifier, as ad-hoc signed ones do; an ad-hoc build is only ever run on the Mac that made it.
  set(options --timestamp=none)
else()
  # What notarization asks for: the hardened runtime and a secure timestamp.
  set(options --options runtime --timestamp)
endif()

file(GLOB_RECURSE libraries "${VELLORA_BUNDLE}/Contents/Frameworks/*.dylib"
                            "${VELLORA_BUNDLE}/Contents/PlugIns/*.dylib")
file(GLOB frameworks LIST_DIRECTORIES true "${VELLORA_BUNDLE}/Contents/Frameworks/*.framework")
foreach(code IN LISTS libraries frameworks)
  execute_process(COMMAND "${codesign}" --force --sign "${VELLORA_IDENTITY}" ${options} "${code}"
                  COMMAND_ERROR_IS_FATAL ANY)
endforeach()
execute_process(COMMAND "${codesign}" --force --sign "${VELLORA_IDENTITY}" ${options}
                        --entitlements "${VELLORA_ENTITLEMENTS}" "${VELLORA_BUNDLE}"
                COMMAND_ERROR_IS_FATAL ANY)
message(STATUS "Signed ${VELLORA_BUNDLE} (${VELLORA_IDENTITY})")
