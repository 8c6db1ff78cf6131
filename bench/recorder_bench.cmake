# The recorder benchmark posts to the in-process loopback server of the tests.
if(TARGET recorder_bench)
  target_sources(recorder_bench PRIVATE
    ${CMAKE_SOURCE_DIR}/test/support/loopback_server.cpp
    ${CMAKE_SOURCE_DIR}/test/support/loop_runner.cpp)
  target_include_directories(recorder_bench PRIVATE ${CMAKE_SOURCE_DIR}/test)
endif()
