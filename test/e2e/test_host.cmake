# The host program that loads the built plug-in through OpenTracing's dynamic
# loader; the end-to-end suite runs it as a child process.
add_executable(test_host ${CMAKE_CURRENT_LIST_DIR}/test_host.cpp ${CMAKE_CURRENT_LIST_DIR}/../support/process_threads.cpp)
target_include_directories(test_host PRIVATE ${CMAKE_CURRENT_LIST_DIR}/..)
target_link_libraries(test_host PRIVATE OpenTracing::opentracing Threads::Threads ${CMAKE_DL_LIBS})
add_dependencies(test_host vostrel_sensor)
if(TARGET end_to_end_test)
  add_dependencies(end_to_end_test test_host)
  target_compile_definitions(end_to_end_test PRIVATE VOSTREL_TEST_HOST_PATH="$<TARGET_FILE:test_host>")
  if(TARGET agent_simulator_lib)
    target_link_libraries(end_to_end_test PRIVATE agent_simulator_lib)
  endif()
endif()
