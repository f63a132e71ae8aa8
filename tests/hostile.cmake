rig_add_test(HostileIniTests SOURCES HostileIniTests.cpp)
