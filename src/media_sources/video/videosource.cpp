#include "media_sources/video/videosource.h"

#include <utility>

namespace VellRecorder {

VideoSource::VideoSource(VideoRecordingSettings settings) : settings_(std::move(settings)) {}

VideoSource::~VideoSource() = default;

}  // namespace VellRecorder
