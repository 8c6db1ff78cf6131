# Plug-in hosts for entry_point_test: one exports the NGINX module's version
# function, the other does not.
foreach(host nginx-test-host nginx-bare-host)
  add_executable(${host} ${CMAKE_CURRENT_LIST_DIR}/nginx_test_host.cpp)
  target_link_libraries(${host} PRIVATE OpenTracing::opentracing ${CMAKE_DL_LIBS})
endforeach()
target_link_options(nginx-test-host PRIVATE -rdynamic)
target_compile_definitions(nginx-bare-host PRIVATE VOSTREL_HOST_WITHOUT_VERSION)
add_dependencies(entry_point_test nginx-test-host nginx-bare-host)
target_compile_definitions(entry_point_test PRIVATE
  VOSTREL_TEST_HOST="$<TARGET_FILE:nginx-test-host>"
  VOSTREL_BARE_HOST="$<TARGET_FILE:nginx-bare-host>")
