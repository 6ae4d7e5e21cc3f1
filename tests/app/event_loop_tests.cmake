# The commands of a sync, stepped on a fixed beat and only when due, in-process and end to end.
dupmon_test(app_wire_sequence_test PROCESS SOURCES wire_sequence_test.cpp LIBS dupmon_slots dupmon_sim)
target_compile_definitions(app_wire_sequence_test PRIVATE
    DUPMON_MONITOR="$<TARGET_FILE:duplicator-monitor>" DUPMON_SIM="$<TARGET_FILE:dupmon-sim>")
add_dependencies(app_wire_sequence_test duplicator-monitor dupmon-sim)

# A machine's message box open while the others keep syncing.
dupmon_test(app_busy_message_box_test SOURCES busy_message_box_test.cpp
    LIBS dupmon_main_window dupmon_sim Qt6::Widgets)

# dupmon-sim killed under the headless monitor and started again.
dupmon_test(app_lost_simulator_test PROCESS SOURCES lost_simulator_test.cpp LIBS dupmon_logdb)
target_compile_definitions(app_lost_simulator_test PRIVATE
    DUPMON_MONITOR="$<TARGET_FILE:duplicator-monitor>" DUPMON_SIM="$<TARGET_FILE:dupmon-sim>")
add_dependencies(app_lost_simulator_test duplicator-monitor dupmon-sim)

# The probe of the GUI thread's event loop that the stall benchmark reads.
dupmon_test(app_loop_probe_test SOURCES loop_probe_test.cpp LIBS dupmon_loop_probe Qt6::Widgets)
