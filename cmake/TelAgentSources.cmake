# Every module is one .cpp under src/<subsystem>/; new modules are picked up
# without touching the build files.  Platform files are chosen by TELAGENT_PLATFORM:
# *_sim.cpp only in the simulation build, *_device.cpp only in the device build.
function(telagent_collect_sources out_var)
  file(GLOB_RECURSE _all CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/src/*.cpp")
  set(_keep "")
  foreach(f IN LISTS _all)
    if(TELAGENT_PLATFORM STREQUAL "sim" AND f MATCHES "_device\\.cpp$")
      continue()
    endif()
    if(TELAGENT_PLATFORM STREQUAL "device" AND f MATCHES "_sim\\.cpp$")
      continue()
    endif()
    list(APPEND _keep "${f}")
  endforeach()
  set(${out_var} "${_keep}" PARENT_SCOPE)
endfunction()
