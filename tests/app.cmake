# The program itself: the real RigConsole.exe started as its own process in a scratch folder,
# driven from outside through window messages, its trace read through the debug output, its
# link to the simulated unit over TCP and the COM pair. The program injects a key release and
# takes the focus, so the tests also hold the "input" lock.
rig_add_test(AppTests SOURCES AppTests.cpp support/AppDriver.cpp LOCKS dbwin com input)
add_dependencies(AppTests RigConsole)
# The real program under a unit that misbehaves: exits and closes that must end, a console
# that shows the link as it is.
rig_add_test(UnderFaultTests SOURCES UnderFaultTests.cpp support/AppDriver.cpp LOCKS dbwin com input)
add_dependencies(UnderFaultTests RigConsole)
target_link_libraries(UnderFaultTests PRIVATE psapi)
# The console's session record as the real program writes it, and after it was killed.
rig_add_test(SessionRecordTests SOURCES SessionRecordTests.cpp support/AppDriver.cpp LOCKS dbwin input)
add_dependencies(SessionRecordTests RigConsole)
# A link that survives the workshop: port lists as the system has them, lost links noticed,
# "Reconnect" (the second COM pair is pulled out and plugged in again).
rig_add_test(LinkResilienceTests SOURCES LinkResilienceTests.cpp support/AppDriver.cpp LOCKS dbwin com input)
add_dependencies(LinkResilienceTests RigConsole)
target_link_libraries(LinkResilienceTests PRIVATE psapi)
# The real program asked to end in a flood of the unit's frames.
rig_add_test(ExitTests SOURCES ExitTests.cpp support/AppDriver.cpp LOCKS dbwin com input)
add_dependencies(ExitTests RigConsole)
# The real program under a flood of loose text: every line traced and recorded.
rig_add_test(FloodTraceTests SOURCES FloodTraceTests.cpp support/AppDriver.cpp LOCKS dbwin input)
add_dependencies(FloodTraceTests RigConsole)
target_link_libraries(FloodTraceTests PRIVATE psapi)
# Service procedures run unattended by the real program: exit codes, reports, refusals.
rig_add_test(ProcedureRunTests SOURCES ProcedureRunTests.cpp support/AppDriver.cpp LOCKS dbwin com input)
add_dependencies(ProcedureRunTests RigConsole)
target_compile_definitions(ProcedureRunTests PRIVATE RIG_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
