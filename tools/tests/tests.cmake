# Tests of the host side, registered from tools/CMakeLists.txt.
find_package(GTest REQUIRED)
include(GoogleTest)

# GoogleTest suites: tools/tests/test_*.cpp, each linked like a host against
# the shared library (and the runner's code).
file(GLOB DFQ_HOST_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/test_*.cpp)
foreach(source ${DFQ_HOST_TEST_SOURCES})
  get_filename_component(name ${source} NAME_WE)
  set(target host_${name})
  add_executable(${target} ${source})
  target_link_libraries(${target} PRIVATE dfq_run_core GTest::gtest GTest::gtest_main)
  target_compile_options(${target} PRIVATE ${DFQ_WARNINGS})
  target_compile_definitions(${target} PRIVATE
    DFQ_EXAMPLES_DIR="${PROJECT_SOURCE_DIR}/examples"
    DFQ_HOST_TEST_DIR="${CMAKE_CURRENT_LIST_DIR}")
  gtest_discover_tests(${target} TEST_PREFIX "host." DISCOVERY_TIMEOUT 60)
endforeach()

# A grouping feeds only an aggregate: building anything else on it stops
# the compilation with the wrapper's message (case 0 compiles).
set(misuse ${CMAKE_CURRENT_LIST_DIR}/grouping_misuse.cpp)
foreach(case 0 1 2 3 4 5)
  add_test(NAME wrapper.grouping_misuse_${case}
    COMMAND ${CMAKE_CXX_COMPILER} -std=c++17 -fsyntax-only -I${PROJECT_SOURCE_DIR}/include
      -DMISUSE=${case} ${misuse})
  if(NOT case EQUAL 0)
    set_tests_properties(wrapper.grouping_misuse_${case} PROPERTIES
      PASS_REGULAR_EXPRESSION "a Grouping feeds only aggregate[(][)] and groupByTime[(][)]; aggregate it first")
  endif()
endforeach()

# dfq-run end to end: exit code and a line of output per case.
set(expect ${CMAKE_CURRENT_LIST_DIR}/cli/expect.sh)
set(cli ${CMAKE_CURRENT_LIST_DIR}/cli)
macro(dfq_run_test name code pattern)
  add_test(NAME cli.${name}
    COMMAND bash ${expect} ${code} "${pattern}" $<TARGET_FILE:dfq-run> ${ARGN})
endmacro()
dfq_run_test(example 0 "^North +[|] online +[|] +2 [|] +468.0$" ${PROJECT_SOURCE_DIR}/examples/sales.dfq)
dfq_run_test(usage 1 "usage: dfq-run")
dfq_run_test(missing_file 2 "missing.dfq: cannot read the pipeline file: no such file$" ${cli}/missing.dfq)
dfq_run_test(bad_line 2 "bad_line.dfq:5: unknown operation 'filtr'" ${cli}/bad_line.dfq)
dfq_run_test(bad_csv 2 "bad.csv:3: expected 2 fields, found 3" ${cli}/bad_csv.dfq)
dfq_run_test(refused 3 "bad_join.dfq:6: join 'j' refused by the library: DFQ-1405: Invalid join argument outer"
  ${cli}/bad_join.dfq)
dfq_run_test(database_error 4 "database error in statement .main.\\..f. .node [0-9]+.: no such column: amout"
  ${cli}/db_error.dfq)
dfq_run_test(not_runnable 0 "not runnable on SQLite: \"main\".\"t\" uses select top" --dialect default ${cli}/not_runnable.dfq)
# Without --dialect the dialect follows the database: on SQLite, top is a limit.
dfq_run_test(dialect_follows_database 0 "^[(]2 rows[)]$" ${cli}/not_runnable.dfq)
dfq_run_test(csv_output 0 "^region,revenue$" --csv -q ${cli}/csv.dfq ${cli}/points.csv)
# Command line and input mistakes: each its exit code and a message that
# says what is wrong, where.
dfq_run_test(log_level_word 1 "--log-level takes a level from 0 to 5, not 'abc'" --log-level abc ${cli}/csv.dfq)
dfq_run_test(log_level_range 1 "--log-level takes a level from 0 to 5, not '6'" --log-level 6 ${cli}/csv.dfq)
dfq_run_test(help 0 "show the library's log records of exactly level N" --help)
dfq_run_test(version 0 "^dfq-run [(]libdfq[)] ${PROJECT_VERSION}$" --version)
dfq_run_test(dialect_unknown 1 "--dialect takes default, sqlite or postgresql, not 'mysql'"
  --dialect mysql ${cli}/csv.dfq)
dfq_run_test(directory 2 "cli: cannot read the pipeline file: it is a directory$" ${cli})
dfq_run_test(empty 2 "empty.dfq: the pipeline is empty" ${cli}/empty.dfq)
dfq_run_test(missing_csv 2 "missing_csv.dfq:2: .*nowhere.csv: cannot read the file [(]no such file[)]$"
  ${cli}/missing_csv.dfq)
dfq_run_test(duplicate_header 2 "duplicate_header.csv:1: column 'X' appears twice in the header"
  ${cli}/duplicate_header.dfq)
dfq_run_test(byte_order_mark 0 "^id,name$" --csv -q ${cli}/bom.dfq)
dfq_run_test(missing_colon 2 "missing_colon.dfq:4: missing ':' before the text of 'filter'" ${cli}/missing_colon.dfq)
dfq_run_test(cross_join_condition 2 "cross_join.dfq:5: a cross join takes no condition" ${cli}/cross_join.dfq)
dfq_run_test(views_with_schema 1 "sales.dfq:[0-9]+: --views on SQLite needs every table in schema main"
  --views ${PROJECT_SOURCE_DIR}/examples/sales.dfq)
dfq_run_test(sqlite_unopenable 4 "cannot open the SQLite database /nonexistent/x.db" --db /nonexistent/x.db
  ${cli}/csv.dfq)
dfq_run_test(no_connection 5 "cannot connect to PostgreSQL: "
  --db "host=/nonexistent port=1 dbname=none" ${cli}/csv.dfq)
add_test(NAME cli.run_twice
  COMMAND bash ${expect} 0 "^schema work kept in shop.work.db$"
    bash ${cli}/twice.sh $<TARGET_FILE:dfq-run> ${PROJECT_SOURCE_DIR}/examples/sales.dfq)
# scripts/setup.sh keeps standard output for the scripts that call it.
add_test(NAME scripts.setup_output
  COMMAND bash ${expect} 0 "^setup output on standard error only$"
    bash ${cli}/setup_quiet.sh ${PROJECT_SOURCE_DIR}/scripts/setup.sh)
# On the PostgreSQL server of the run (DFQ_PG_CONNINFO; skipped without one).
add_test(NAME cli.postgres_example
  COMMAND bash ${cli}/on_postgres.sh 0 "^North +[|] online +[|] +2 [|] +468.00$" $<TARGET_FILE:dfq-run>
    ${PROJECT_SOURCE_DIR}/examples/sales.dfq)
set_tests_properties(cli.postgres_example PROPERTIES SKIP_RETURN_CODE 77)

# The Python binding: its unittest suites and its example, against this
# build's library (not under the sanitizers: an uninstrumented python cannot
# load an instrumented library). They run with an interpreter that has a
# PostgreSQL driver when the machine has one (Debian's python3 with
# psycopg2), so that python.postgresql runs on the server scripts/test.sh
# names in DFQ_PG_CONNINFO; it reports "Skipped" when there is none.
find_package(Python3 COMPONENTS Interpreter)
if(Python3_FOUND AND NOT DFQ_SANITIZE AND NOT DFQ_SANITIZE_THREAD)
  set(DFQ_PYTHON ${Python3_EXECUTABLE})
  foreach(candidate ${Python3_EXECUTABLE} /usr/bin/python3)
    execute_process(COMMAND ${candidate} -c "import psycopg2"
      RESULT_VARIABLE no_driver OUTPUT_QUIET ERROR_QUIET)
    if(no_driver EQUAL 0)
      set(DFQ_PYTHON ${candidate})
      break()
    endif()
  endforeach()
  set(python_tests ${PROJECT_SOURCE_DIR}/python/tests)
  macro(dfq_python_test name)
    add_test(NAME python.${name} COMMAND ${DFQ_PYTHON} ${ARGN} WORKING_DIRECTORY ${python_tests})
    set_tests_properties(python.${name} PROPERTIES
      ENVIRONMENT "DFQ_LIBRARY=$<TARGET_FILE:dfq>" SKIP_RETURN_CODE 77)
  endmacro()
  dfq_python_test(binding -m unittest -v test_dfq)
  dfq_python_test(threads -m unittest -v test_threads)
  dfq_python_test(install -m unittest -v test_install)
  dfq_python_test(readme -m unittest -v test_readme)
  dfq_python_test(statements -m unittest -v test_statements)
  dfq_python_test(sqlite test_run.py SqliteRunTest)
  dfq_python_test(postgresql test_run.py PostgresRunTest)
  add_test(NAME python.example
    COMMAND bash ${expect} 0 "^North +online +2 +468.00$"
      env DFQ_LIBRARY=$<TARGET_FILE:dfq> ${DFQ_PYTHON} ${PROJECT_SOURCE_DIR}/python/example.py)
endif()

# The installed package: install into a prefix inside the build directory
# and build a consumer with find_package(dfq) and one with pkg-config.
if(NOT DFQ_SANITIZE AND NOT DFQ_SANITIZE_THREAD)
  add_test(NAME package.consumer
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/consumer/run.sh ${PROJECT_BINARY_DIR}
      ${CMAKE_C_COMPILER} ${CMAKE_CXX_COMPILER})
endif()
