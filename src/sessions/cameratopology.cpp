// The camera session's topology: the camera format, and the nodes source -> (MJPEG decoder) -> colour
// converter -> H.264 encoder -> sample grabber.
#include <mfapi.h>
#include <mferror.h>

#include <vector>

#include "media_transforms/media_foundation/h264encoder.h"
#include "sessions/cameraformat.h"
#include "sessions/camerarecordingsession.h"
#include "sessions/samplegrabber.h"
#include "tracehr.h"
#include "utils/log.h"
#include "utils/scopedactivationobject.h"

namespace VellRecorder {
namespace {

constexpr UINT32 kDefaultFrameRate = 30;  // for a camera format that states none

CameraSubtype SubtypeOf(const GUID& subtype) {
  if (subtype == MFVideoFormat_MJPG) return CameraSubtype::kMjpg;
  if (subtype == MFVideoFormat_YUY2) return CameraSubtype::kYuy2;
  return CameraSubtype::kOther;
}

CameraFormat FormatOf(IMFMediaType* type) {
  CameraFormat format;
  GUID subtype = GUID_NULL;
  if (SUCCEEDED(type->GetGUID(MF_MT_SUBTYPE, &subtype))) format.subtype = SubtypeOf(subtype);
  if (FAILED(MFGetAttributeSize(type, MF_MT_FRAME_SIZE, &format.width, &format.height))) {
    format.width = format.height = 0;
  }
  if (FAILED(MFGetAttributeRatio(type, MF_MT_FRAME_RATE, &format.rate_numerator, &format.rate_denominator))) {
    format.rate_numerator = format.rate_denominator = 0;
  }
  return format;
}

// The first registered transform of `category` from one video subtype to another; `what` names it in the log
// when there is none.
HRESULT FirstTransform(const GUID& category, const GUID& from, const GUID& to, const char* what,
                       ComPtr<IMFTransform>* transform) {
  ScopedActivationObject found;
  const MFT_REGISTER_TYPE_INFO input = {MFMediaType_Video, from};
  const MFT_REGISTER_TYPE_INFO output = {MFMediaType_Video, to};
  RETURN_IF_FAILED(found.MFTEnum(category, 0, &input, &output));
  if (found.Count() == 0) {
    LOG_ERROR << "No " << what << " found";
    return E_FAIL;
  }
  return found[0]->ActivateObject(IID_IMFTransform, reinterpret_cast<void**>(transform->ReleaseAndGetAddressOf()));
}

std::wstring GuidText(const GUID& guid) {
  wchar_t text[40] = {};
  StringFromGUID2(guid, text, 40);
  return text;
}

// The camera's rate, or the default where it states none (or a zero denominator).
void FrameRateOf(IMFMediaType* camera_type, UINT32* numerator, UINT32* denominator) {
  CameraFormat format = FormatOf(camera_type);
  if (WholeFrameRate(format) == 0) format = {CameraSubtype::kOther, 0, 0, kDefaultFrameRate, 1};
  *numerator = format.rate_numerator;
  *denominator = format.rate_denominator;
}

// The recording's encoder settings at the camera's size and rate, for a media session to drive the encoder.
MediaFoundation::EncoderSettings EncoderSettingsFor(IMFMediaType* camera_type, uint32_t width, uint32_t height) {
  UINT32 numerator = 0;
  UINT32 denominator = 1;
  FrameRateOf(camera_type, &numerator, &denominator);
  MediaFoundation::EncoderSettings settings =
      MediaFoundation::EncoderSettings::Recording(width, height, numerator, denominator);
  settings.media_session_streams = true;
  return settings;
}

}  // namespace

HRESULT CameraRecordingSession::InitializeTopology() {
  RETURN_IF_FAILED(source_->CreatePresentationDescriptor(presentation_descriptor_.ReleaseAndGetAddressOf()));
  RETURN_IF_FAILED(CreateStreamDescriptor());
  RETURN_IF_FAILED(SetMediaType());
  RETURN_IF_FAILED(MFCreateTopology(topology_.ReleaseAndGetAddressOf()));
  RETURN_IF_FAILED(AddSourceNode());
  GUID subtype = GUID_NULL;
  RETURN_IF_FAILED(camera_type_->GetGUID(MF_MT_SUBTYPE, &subtype));
  if (subtype == MFVideoFormat_MJPG) {
    RETURN_IF_FAILED(AddDecoderNode());
  } else {
    // The converter takes the camera's own YUY2.
    decoded_type_ = camera_type_;
  }
  RETURN_IF_FAILED(AddColorConversionNode());
  RETURN_IF_FAILED(AddEncoderNode());
  RETURN_IF_FAILED(AddOutputNode());
  RETURN_IF_FAILED(source_node_->SetOutputPrefType(0, camera_type_.Get()));
  RETURN_IF_FAILED(ConnectNodes());
  return S_OK;
}

HRESULT CameraRecordingSession::CreateStreamDescriptor() {
  DWORD count = 0;
  RETURN_IF_FAILED(presentation_descriptor_->GetStreamDescriptorCount(&count));
  for (DWORD i = 0; i < count; ++i) RETURN_IF_FAILED(presentation_descriptor_->DeselectStream(i));
  RETURN_IF_FAILED(presentation_descriptor_->SelectStream(0));
  BOOL selected = FALSE;
  RETURN_IF_FAILED(presentation_descriptor_->GetStreamDescriptorByIndex(0, &selected,
                                                                        stream_descriptor_.ReleaseAndGetAddressOf()));
  return S_OK;
}

HRESULT CameraRecordingSession::SetMediaType() {
  ComPtr<IMFMediaTypeHandler> handler;
  RETURN_IF_FAILED(stream_descriptor_->GetMediaTypeHandler(handler.ReleaseAndGetAddressOf()));
  std::vector<CameraFormat> formats;
  for (DWORD i = 0;; ++i) {
    ComPtr<IMFMediaType> type;
    const HRESULT hr = handler->GetMediaTypeByIndex(i, type.ReleaseAndGetAddressOf());
    if (hr == MF_E_NO_MORE_TYPES) break;
    RETURN_IF_FAILED(hr);
    formats.push_back(FormatOf(type.Get()));
  }
  const std::optional<size_t> chosen = ChooseCameraFormat(formats, width_);
  if (!chosen) {
    GUID subtype = GUID_NULL;
    ComPtr<IMFMediaType> first;
    if (SUCCEEDED(handler->GetMediaTypeByIndex(0, first.ReleaseAndGetAddressOf()))) {
      first->GetGUID(MF_MT_SUBTYPE, &subtype);
    }
    LOG_ERROR << "unsupport subtype " << GuidText(subtype);
    return E_FAIL;
  }
  width_ = formats[*chosen].width;
  height_ = formats[*chosen].height;
  RETURN_IF_FAILED(handler->GetMediaTypeByIndex(static_cast<DWORD>(*chosen), camera_type_.ReleaseAndGetAddressOf()));
  RETURN_IF_FAILED(handler->SetCurrentMediaType(camera_type_.Get()));
  LOG_INFO << "camera format " << width_ << "x" << height_ << " at " << WholeFrameRate(formats[*chosen])
           << " frames per second";
  return S_OK;
}

HRESULT CameraRecordingSession::AddSourceNode() {
  RETURN_IF_FAILED(MFCreateTopologyNode(MF_TOPOLOGY_SOURCESTREAM_NODE, source_node_.ReleaseAndGetAddressOf()));
  RETURN_IF_FAILED(source_node_->SetUnknown(MF_TOPONODE_SOURCE, source_.Get()));
  RETURN_IF_FAILED(source_node_->SetUnknown(MF_TOPONODE_PRESENTATION_DESCRIPTOR, presentation_descriptor_.Get()));
  RETURN_IF_FAILED(source_node_->SetUnknown(MF_TOPONODE_STREAM_DESCRIPTOR, stream_descriptor_.Get()));
  RETURN_IF_FAILED(topology_->AddNode(source_node_.Get()));
  return S_OK;
}

HRESULT CameraRecordingSession::AddTransformNode(IMFTransform* transform, IMFMediaType* input, IMFMediaType* output,
                                                 ComPtr<IMFTopologyNode>* node) {
  RETURN_IF_FAILED(MFCreateTopologyNode(MF_TOPOLOGY_TRANSFORM_NODE, node->ReleaseAndGetAddressOf()));
  RETURN_IF_FAILED((*node)->SetObject(transform));
  RETURN_IF_FAILED(topology_->AddNode(node->Get()));
  RETURN_IF_FAILED((*node)->SetInputPrefType(0, input));
  RETURN_IF_FAILED((*node)->SetOutputPrefType(0, output));
  return S_OK;
}

HRESULT CameraRecordingSession::AddDecoderNode() {
  ComPtr<IMFTransform> decoder;
  RETURN_IF_FAILED(
      FirstTransform(MFT_CATEGORY_VIDEO_DECODER, MFVideoFormat_MJPG, MFVideoFormat_YUY2, "decoder", &decoder));
  RETURN_IF_FAILED(MFCreateMediaType(decoded_type_.ReleaseAndGetAddressOf()));
  RETURN_IF_FAILED(camera_type_->CopyAllItems(decoded_type_.Get()));
  RETURN_IF_FAILED(decoded_type_->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video));
  RETURN_IF_FAILED(decoded_type_->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_YUY2));
  return AddConvertingNode(decoder.Get(), camera_type_.Get(), decoded_type_.Get(), &decoder_node_);
}

HRESULT CameraRecordingSession::AddColorConversionNode() {
  ComPtr<IMFTransform> converter;
  RETURN_IF_FAILED(FirstTransform(MFT_CATEGORY_VIDEO_EFFECT, MFVideoFormat_YUY2, MFVideoFormat_NV12,
                                  "color converter", &converter));
  RETURN_IF_FAILED(CreateH264MediaTypes());
  return AddConvertingNode(converter.Get(), decoded_type_.Get(), nv12_type_.Get(), &converter_node_);
}

HRESULT CameraRecordingSession::AddConvertingNode(IMFTransform* transform, IMFMediaType* input,
                                                  IMFMediaType* output, ComPtr<IMFTopologyNode>* node) {
  RETURN_IF_FAILED(transform->SetInputType(0, input, 0));
  RETURN_IF_FAILED(transform->SetOutputType(0, output, 0));
  return AddTransformNode(transform, input, output, node);
}

HRESULT CameraRecordingSession::AddEncoderNode() {
  MediaFoundation::H264Encoder encoder(EncoderSettingsFor(camera_type_.Get(), width_, height_));
  RETURN_IF_FAILED(encoder.Initialize());
  encoder_ = encoder.HandOverTransform();
  // The encoder's own output type: the sample grabber expects what the encoder was set up to give.
  RETURN_IF_FAILED(encoder_->GetOutputCurrentType(0, h264_type_.ReleaseAndGetAddressOf()));
  ComPtr<IMFAttributes> attributes;
  wchar_t name[128] = {};
  if (SUCCEEDED(encoder_->GetAttributes(attributes.ReleaseAndGetAddressOf())) && attributes &&
      SUCCEEDED(attributes->GetString(MFT_FRIENDLY_NAME_Attribute, name, 128, nullptr))) {
    LOG_INFO << "camera encoder: " << name;
  }
  RETURN_IF_FAILED(AddTransformNode(encoder_.Get(), nv12_type_.Get(), h264_type_.Get(), &encoder_node_));
  return S_OK;
}

// The NV12 type between the converter and the encoder; the H.264 type is the encoder's (AddEncoderNode).
HRESULT CameraRecordingSession::CreateH264MediaTypes() {
  RETURN_IF_FAILED(MediaFoundation::CreateEncoderType(
      MFVideoFormat_NV12, EncoderSettingsFor(camera_type_.Get(), width_, height_), &nv12_type_));
  return S_OK;
}

HRESULT CameraRecordingSession::AddOutputNode() {
  if (!grabber_) {
    RETURN_IF_FAILED(CSampleGrabber::CreateInstance(
        sink_, [this] { RequestKeyframe(); }, [this] { return SequenceHeader(); }, grabber_.ReleaseAndGetAddressOf()));
  }
  ComPtr<IMFActivate> sink_activate;
  RETURN_IF_FAILED(MFCreateSampleGrabberSinkActivate(h264_type_.Get(), grabber_.Get(),
                                                     sink_activate.ReleaseAndGetAddressOf()));
  // Each frame goes to the sink as the encoder gives it: frames are stamped by their sample times, and a camera
  // paces itself, so holding them for their presentation time would only add a clock timer per frame. That timer
  // is also what Wine 8's presentation clock can release twice when a stop cancels it as it fires, crashing the
  // daemon on finish.
  RETURN_IF_FAILED(sink_activate->SetUINT32(MF_SAMPLEGRABBERSINK_IGNORE_CLOCK, TRUE));
  RETURN_IF_FAILED(MFCreateTopologyNode(MF_TOPOLOGY_OUTPUT_NODE, output_node_.ReleaseAndGetAddressOf()));
  RETURN_IF_FAILED(output_node_->SetObject(sink_activate.Get()));
  RETURN_IF_FAILED(output_node_->SetUINT32(MF_TOPONODE_STREAMID, 0));
  RETURN_IF_FAILED(output_node_->SetUINT32(MF_TOPONODE_NOSHUTDOWN_ON_REMOVE, FALSE));
  RETURN_IF_FAILED(topology_->AddNode(output_node_.Get()));
  return S_OK;
}

HRESULT CameraRecordingSession::ConnectNodes() {
  IMFTopologyNode* const first = decoder_node_ ? decoder_node_.Get() : converter_node_.Get();
  RETURN_IF_FAILED(source_node_->ConnectOutput(0, first, 0));
  if (decoder_node_) RETURN_IF_FAILED(decoder_node_->ConnectOutput(0, converter_node_.Get(), 0));
  RETURN_IF_FAILED(converter_node_->ConnectOutput(0, encoder_node_.Get(), 0));
  RETURN_IF_FAILED(encoder_node_->ConnectOutput(0, output_node_.Get(), 0));
  return S_OK;
}

}  // namespace VellRecorder
