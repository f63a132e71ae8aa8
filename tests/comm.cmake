rig_add_test(CommLinkTests SOURCES CommLinkTests.cpp support/CommTestSupport.cpp LOCKS com)
rig_add_test(CommFrameTests SOURCES CommFrameTests.cpp)
rig_add_test(CommPathTests SOURCES CommPathTests.cpp support/CommTestSupport.cpp LOCKS com)
rig_add_test(ConsoleTests SOURCES ConsoleTests.cpp support/CommTestSupport.cpp LOCKS com)
