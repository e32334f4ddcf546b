# Replays one of the recordings in tests/recordings/ with the emulated
# corvane-cli and expects what the command showed when it was recorded: the
# same standard output, standard error and exit code. Run as
#   cmake -DPROGRAM=... -DRECORDINGS=... -DNAME=... -DWORKDIR=... -P ReplayRecording.cmake
file(REMOVE_RECURSE "${WORKDIR}")
file(MAKE_DIRECTORY "${WORKDIR}/runtime")
file(COPY "${RECORDINGS}/sample-firmware.bin" DESTINATION "${WORKDIR}")
file(STRINGS "${RECORDINGS}/${NAME}.args" arguments)
execute_process(
    COMMAND ${CMAKE_COMMAND} -E env
            "CORVANE_EMULATOR_REPLAY=${RECORDINGS}/${NAME}.jsonl"
            "XDG_RUNTIME_DIR=${WORKDIR}/runtime" "CORVANE_CONFIG_DIR=${WORKDIR}/config"
            "ASAN_OPTIONS=detect_leaks=0"
            --unset=CORVANE_EMULATOR_STATE_DIR --unset=QT_LOGGING_RULES
            "${PROGRAM}" ${arguments}
    WORKING_DIRECTORY "${WORKDIR}"
    RESULT_VARIABLE code
    OUTPUT_VARIABLE out
    ERROR_VARIABLE err)
file(READ "${RECORDINGS}/${NAME}.out" expectedOut)
file(READ "${RECORDINGS}/${NAME}.err" expectedErr)
file(STRINGS "${RECORDINGS}/${NAME}.rc" expectedCode)
if(NOT "${code}" STREQUAL "${expectedCode}")
    message(FATAL_ERROR "${NAME}: exit code ${code}, recorded ${expectedCode}\n${err}")
endif()
if(NOT out STREQUAL expectedOut)
    message(FATAL_ERROR "${NAME}: standard output differs:\n${out}\nrecorded:\n${expectedOut}")
endif()
if(NOT err STREQUAL expectedErr)
    message(FATAL_ERROR "${NAME}: standard error differs:\n${err}\nrecorded:\n${expectedErr}")
endif()
