# The system benchmarks talk to the agent simulator; the request span
# benchmark also runs OpenTracing's mocktracer and Datadog's tracer.
find_library(DD_OPENTRACING_LIBRARY dd_opentracing)
foreach(bench request_span_bench delivery_bench memory_bench)
  if(TARGET ${bench})
    target_include_directories(${bench} PRIVATE ${CMAKE_CURRENT_LIST_DIR})
    if(TARGET agent_simulator_lib)
      target_link_libraries(${bench} PRIVATE agent_simulator_lib)
    endif()
  endif()
endforeach()
if(TARGET request_span_bench)
  target_link_libraries(request_span_bench PRIVATE OpenTracing::opentracing_mocktracer ${DD_OPENTRACING_LIBRARY})
endif()
