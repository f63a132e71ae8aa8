rig_add_test(IniMngrTests SOURCES IniMngrTests.cpp LOCKS dbwin)
rig_add_test(StorageMngrTests SOURCES StorageMngrTests.cpp)
