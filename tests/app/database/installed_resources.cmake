# Installs the application's resources into a scratch prefix, puts a copy of the resource test
# program at <prefix>/bin, and runs its installed-layout test from there.
#   -DBUILD_DIR=<build tree> -DPROGRAM=<test program> -DPREFIX=<scratch prefix>
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX} --component resources
                RESULT_VARIABLE result)
if(result)
  message(FATAL_ERROR "installing the resources failed: ${result}")
endif()
get_filename_component(name ${PROGRAM} NAME)
file(MAKE_DIRECTORY ${PREFIX}/bin)
# The program finds its bundle from its own file, so it must be a file there, not a symbolic link.
file(CREATE_LINK ${PROGRAM} ${PREFIX}/bin/${name} RESULT linked)
if(linked)
  file(COPY ${PROGRAM} DESTINATION ${PREFIX}/bin)
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=ZORVEL_BUNDLE_PATH ZORVEL_TEST_INSTALLED_PREFIX=${PREFIX}
                        ${PREFIX}/bin/${name} --gtest_filter=ApplicationResources.FoundWhereTheProgramIsInstalled
                RESULT_VARIABLE result)
file(REMOVE_RECURSE ${PREFIX})
if(result)
  message(FATAL_ERROR "the installed program did not find its resources")
endif()
