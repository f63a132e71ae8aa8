# Diagnostic log and the trace capture tool: real lines of real processes through the
# system debug output. TraceEmitter writes the cases that the tests capture.
add_executable(TraceEmitter support/TraceEmitter.cpp)
target_compile_options(TraceEmitter PRIVATE ${RIG_WARNINGS})
target_link_libraries(TraceEmitter PRIVATE rigcore)
target_link_options(TraceEmitter PRIVATE -municode)

rig_add_test(DebugLogTests SOURCES DebugLogTests.cpp LOCKS dbwin)
add_dependencies(DebugLogTests TraceEmitter)
