#include "aacframeencoder.h"

#include <mferror.h>

#include <vo-aacenc/cmnMemory.h>

namespace VellStandin {

AacFrameEncoder::~AacFrameEncoder() { Stop(); }

HRESULT AacFrameEncoder::Start(uint32_t sample_rate, uint32_t channels, uint32_t bits_per_second) {
  Stop();
  if (voGetAACEncAPI(&api_) != VO_ERR_NONE) return E_FAIL;
  memory_ = {cmnMemAlloc, cmnMemFree, cmnMemSet, cmnMemCopy, cmnMemCheck, cmnMemCompare, cmnMemMove};
  VO_CODEC_INIT_USERDATA user = {};
  user.memflag = VO_IMF_USERMEMOPERATOR;
  user.memData = &memory_;
  if (api_.Init(&handle_, VO_AUDIO_CodingAAC, &user) != VO_ERR_NONE) {
    handle_ = nullptr;
    return E_FAIL;
  }
  AACENC_PARAM param = {};
  param.sampleRate = static_cast<int>(sample_rate);
  param.bitRate = static_cast<int>(bits_per_second);
  param.nChannels = static_cast<short>(channels);
  param.adtsUsed = 0;  // raw_data_block only: the caller frames it
  if (api_.SetParam(handle_, VO_PID_AAC_ENCPARAM, &param) != VO_ERR_NONE) {
    Stop();
    return E_FAIL;
  }
  channels_ = channels;
  return S_OK;
}

void AacFrameEncoder::Stop() {
  if (handle_) api_.Uninit(handle_);
  handle_ = nullptr;
}

HRESULT AacFrameEncoder::Encode(const int16_t* pcm, std::vector<uint8_t>* frame) {
  if (!handle_) return MF_E_NOT_INITIALIZED;
  VO_CODECBUFFER input = {};
  input.Buffer = reinterpret_cast<VO_PBYTE>(const_cast<int16_t*>(pcm));
  input.Length = kFrameSamples * channels_ * sizeof(int16_t);
  if (api_.SetInputData(handle_, &input) != VO_ERR_NONE) return E_FAIL;
  frame->resize(kMaxFrameBytesPerChannel * channels_);
  VO_CODECBUFFER output = {};
  output.Buffer = frame->data();
  output.Length = static_cast<VO_U32>(frame->size());
  VO_AUDIO_OUTPUTINFO info = {};
  // A whole block in, so one whole frame out; anything else means the codec kept input back.
  if (api_.GetOutputData(handle_, &output, &info) != VO_ERR_NONE || output.Length == 0) return E_FAIL;
  frame->resize(output.Length);
  return S_OK;
}

}  // namespace VellStandin
