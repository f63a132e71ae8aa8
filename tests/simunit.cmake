rig_add_test(SimUnitTests SOURCES SimUnitTests.cpp LOCKS com)
target_link_libraries(SimUnitTests PRIVATE ws2_32)
