#pragma once
// Kept until corvane-cli includes the recording headers it uses directly.
#include "device/RecordingReader.h"
#include "device/RecordingWriter.h"
#include "device/SessionRecorder.h"
