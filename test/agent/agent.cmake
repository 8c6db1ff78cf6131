# The connection tests talk to the agent simulator, in process and as a
# command started inside a network namespace.
target_link_libraries(agent_connection_test PRIVATE agent_simulator_lib)
target_compile_definitions(gateway_discovery_test PRIVATE
  VOSTREL_AGENT_SIMULATOR="$<TARGET_FILE:agent-simulator>")
add_dependencies(gateway_discovery_test agent-simulator)
