if(TARGET sensor_impl_test AND TARGET agent_simulator_lib)
  target_link_libraries(sensor_impl_test PRIVATE agent_simulator_lib)
endif()
