rig_add_test(CommLinkTests SOURCES CommLinkTests.cpp support/CommTestSupport.cpp LOCKS com)
