# Settings shared by the product's targets (qzbackup, pallux, shadelink): warnings are errors,
# the JNI headers of the target platform, and on POSIX hosts the stand-in Windows platform.
function(product_target target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
  target_compile_definitions(${target} PRIVATE UNICODE _UNICODE)
  if(WIN32)
    target_include_directories(${target} SYSTEM PRIVATE
      "${JAVA_HOME}/include" "${CMAKE_SOURCE_DIR}/cmake/jni/win32")
    get_target_property(kind ${target} TYPE)
    if(kind STREQUAL "SHARED_LIBRARY")
      # Java loads "pallux.dll", not "libpallux.dll".
      set_target_properties(${target} PROPERTIES PREFIX "")
    endif()
  else()
    target_include_directories(${target} SYSTEM PRIVATE
      "${JAVA_HOME}/include" "${JAVA_HOME}/include/linux")
    target_link_libraries(${target} PRIVATE winsim winsim_dllmain)
    set_target_properties(${target} PROPERTIES
      CXX_VISIBILITY_PRESET hidden
      VISIBILITY_INLINES_HIDDEN ON
      BUILD_RPATH "$ORIGIN")
  endif()
endfunction()
