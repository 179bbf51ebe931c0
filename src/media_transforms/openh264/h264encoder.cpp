#include "media_transforms/openh264/h264encoder.h"

#include <mfapi.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "exception.h"
#include "media_transforms/bufferloader.h"
#include "media_transforms/openh264/i420layout.h"
#include "tracehr.h"

namespace VellRecorder::OpenH264 {
namespace {

constexpr double kMaxBitrateFactor = 1.2;

}  // namespace

void H264Encoder::EncoderDeleter::operator()(ISVCEncoder* encoder) const {
  encoder->Uninitialize();
  WelsDestroySVCEncoder(encoder);
}

H264Encoder::H264Encoder(const EncoderSettings& settings) : settings_(settings) {
  ISVCEncoder* encoder = nullptr;
  if (WelsCreateSVCEncoder(&encoder) != 0 || encoder == nullptr) {
    VELL_THROW("Failed to create H264 encoder");
  }
  encoder_.reset(encoder);
  Initialize();
}

H264Encoder::~H264Encoder() = default;

void H264Encoder::Initialize() {
  int trace_level = WELS_LOG_ERROR;
  encoder_->SetOption(ENCODER_OPTION_TRACE_LEVEL, &trace_level);

  const uint32_t width = settings_.width;
  const uint32_t height = settings_.height;
  bitrate_ = bitrate_table_.GetBitrate(width, height);
  const uint32_t max_bitrate = MaxBitrate(bitrate_, kMaxBitrateFactor);
  thread_count_ = OpenH264ThreadCount(uint64_t{width} * height, std::thread::hardware_concurrency());

  SEncParamExt param;
  std::memset(&param, 0, sizeof(param));
  encoder_->GetDefaultParams(&param);
  param.iUsageType = SCREEN_CONTENT_REAL_TIME;
  param.iPicWidth = static_cast<int>(width);
  param.iPicHeight = static_cast<int>(height);
  param.iTargetBitrate = static_cast<int>(bitrate_);
  param.iRCMode = RC_BITRATE_MODE;
  param.fMaxFrameRate = settings_.frame_rate;
  param.uiIntraPeriod = settings_.idr_interval;
  param.bEnableFrameSkip = true;
  param.iMaxBitrate = static_cast<int>(max_bitrate);
  param.uiMaxNalSize = 0;
  param.iMultipleThreadIdc = static_cast<unsigned short>(thread_count_);
  // One SPS and one PPS id for the whole recording. OpenH264 would otherwise number each keyframe's parameter
  // sets anew (0, 1, 2, ...), which is valid but trips players that keep the first SPS and the latest PPS they
  // saw (hls.js from 1.5 on): their PPS then names an SPS they do not have, and decoding stops.
  param.eSpsPpsIdStrategy = CONSTANT_ID;
  SSpatialLayerConfig& layer = param.sSpatialLayers[0];
  layer.iVideoWidth = static_cast<int>(width);
  layer.iVideoHeight = static_cast<int>(height);
  layer.fFrameRate = settings_.frame_rate;
  layer.iSpatialBitrate = static_cast<int>(bitrate_);
  layer.iMaxSpatialBitrate = static_cast<int>(max_bitrate);
  layer.sSliceArgument.uiSliceMode = SM_FIXEDSLCNUM_SLICE;
  layer.sSliceArgument.uiSliceNum = 1;
  if (encoder_->InitializeExt(&param) != 0) {
    VELL_THROW("Failed to initialize H264 encoder");
  }
  int format = videoFormatI420;
  encoder_->SetOption(ENCODER_OPTION_DATAFORMAT, &format);
}

ComPtr<IMFSample> H264Encoder::Encode(IMFSample* in) {
  const uint32_t width = settings_.width;
  const uint32_t height = settings_.height;
  LONGLONG in_time = 0;
  LONGLONG in_duration = 0;
  if (FAILED(in->GetSampleTime(&in_time))) in_time = 0;
  if (FAILED(in->GetSampleDuration(&in_duration))) in_duration = 0;

  SSourcePicture picture;
  std::memset(&picture, 0, sizeof(picture));
  picture.iColorFormat = videoFormatI420;
  picture.iPicWidth = static_cast<int>(width);
  picture.iPicHeight = static_cast<int>(height);
  picture.iStride[0] = static_cast<int>(width);
  picture.iStride[1] = picture.iStride[2] = static_cast<int>(Libyuv::I420ChromaWidth(width));
  picture.uiTimeStamp = in_time / 10000;

  SFrameBSInfo info;
  std::memset(&info, 0, sizeof(info));
  {
    BufferLoader loader(in);
    const auto frame = loader.LoadMaxLength();
    if (!frame) {
      LOG_ERROR << "failed to load buffer with BufferLoader";
      return nullptr;
    }
    // OpenH264 reads the whole frame whatever the buffer holds.
    if (frame->length < Libyuv::I420PlanarSize(width, height)) {
      LOG_ERROR << "input frame holds " << frame->length << " bytes, too few for " << width << "x" << height;
      return nullptr;
    }
    const Libyuv::I420Planes<uint8_t> planes = Libyuv::I420PlanesOf(frame->data, width, height);
    picture.pData[0] = planes.y;
    picture.pData[1] = planes.u;
    picture.pData[2] = planes.v;

    if (keyframe_requested_ || (settings_.idr_interval != 0 && frame_count_ % settings_.idr_interval == 0)) {
      encoder_->ForceIntraFrame(true);
      keyframe_requested_ = false;
    }
    const int result = encoder_->EncodeFrame(&picture, &info);
    if (result != 0) LOG_ERROR << "Encode error: " << result;
  }
  ++frame_count_;
  pending_duration_ += in_duration;
  if (!time_taken_) {
    output_time_ = in_time;
    time_taken_ = true;
  }
  CollectOutput(info);
  ComPtr<IMFSample> out = BuildSample();
  pending_duration_ = 0;
  output_length_ = 0;
  time_taken_ = false;
  return out;
}

void H264Encoder::CollectOutput(const SFrameBSInfo& info) {
  const int layers = std::clamp(info.iLayerNum, 0, MAX_LAYER_NUM_OF_FRAME);
  std::vector<uint32_t> layer_sizes(layers, 0);
  uint32_t total = 0;
  for (int i = 0; i < layers; ++i) {
    const SLayerBSInfo& layer = info.sLayerInfo[i];
    for (int n = 0; n < layer.iNalCount; ++n) layer_sizes[i] += layer.pNalLengthInByte[n];
    total += layer_sizes[i];
  }
  if (output_.size() < total) {
    output_.resize(std::max<size_t>(total, Libyuv::I420PlanarSize(settings_.width, settings_.height)), 0);
  }
  uint32_t offset = 0;
  for (int i = 0; i < layers; ++i) {
    if (layer_sizes[i] == 0) continue;
    std::memcpy(output_.data() + offset, info.sLayerInfo[i].pBsBuf, layer_sizes[i]);
    offset += layer_sizes[i];
  }
  output_length_ = total;
}

ComPtr<IMFSample> H264Encoder::BuildSample() const {
  ComPtr<IMFMediaBuffer> buffer;
  HRESULT hr = MFCreateMemoryBuffer(output_length_, buffer.ReleaseAndGetAddressOf());
  if (FAILED(hr)) {
    VELL_TRACE_FAILURE(hr);
    return nullptr;
  }
  if (output_length_ > 0) {
    BufferLoader loader(buffer.Get());
    const auto bytes = loader.LoadMaxLength();
    if (!bytes) return nullptr;
    std::memcpy(bytes->data, output_.data(), output_length_);
  }
  ComPtr<IMFSample> sample;
  hr = buffer->SetCurrentLength(output_length_);
  if (SUCCEEDED(hr)) hr = MFCreateSample(sample.ReleaseAndGetAddressOf());
  if (SUCCEEDED(hr)) hr = sample->AddBuffer(buffer.Get());
  if (SUCCEEDED(hr)) hr = sample->SetSampleTime(output_time_);
  if (SUCCEEDED(hr)) hr = sample->SetSampleDuration(pending_duration_);
  if (FAILED(hr)) {
    VELL_TRACE_FAILURE(hr);
    return nullptr;
  }
  return sample;
}

}  // namespace VellRecorder::OpenH264
