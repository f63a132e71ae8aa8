rig_add_test(ProcedureTests SOURCES ProcedureTests.cpp)
# The sample report opened in a browser: the test that writes it into the build tree's
# report-sample folder runs first, then the page is loaded by a headless Chromium and its text
# must hold every step's verdict and the summary of the text report beside it.
add_test(NAME ProcedureReport.WritesTheSample COMMAND ProcedureTests --gtest_filter=ProcedureReportSample.*)
set_tests_properties(ProcedureReport.WritesTheSample PROPERTIES TIMEOUT 120 FIXTURES_SETUP procedure_report_sample)
add_test(NAME ProcedureReport.OpensInABrowser
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/support/report-in-browser.sh ${CMAKE_BINARY_DIR}/report-sample)
set_tests_properties(ProcedureReport.OpensInABrowser PROPERTIES TIMEOUT 120 FIXTURES_REQUIRED procedure_report_sample)
