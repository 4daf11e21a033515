#include "capture/screen_capture.h"

#include <cstring>
#include <utility>

#include "capture/screencast_internal.h"

ScreenCapture::ScreenCapture(UniqueFd screenFds, UniqueFd cursorFds)
    : screenFds_(std::move(screenFds)),
      cursorFds_(std::move(cursorFds)),
      context_(std::make_unique<ScreenCastContext>()) {
  context_->screenFds = screenFds_.get();
  context_->cursorFds = cursorFds_.get();
}

ScreenCapture::~ScreenCapture() {
  Stop();
  UnloadPipeWire();
}

int ScreenCapture::LoadPipeWire() {
  return LoadPipeWireLibrary(&pipeWireHandle_, &context_->pwApi);
}

void ScreenCapture::UnloadPipeWire() {
  UnloadPipeWireLibrary(pipeWireHandle_);
  pipeWireHandle_ = nullptr;
}

void ScreenCapture::SetConnector(const char *connector) {
  char *name = context_->connector;
  const size_t n = strnlen(connector, sizeof context_->connector - 1);
  memcpy(name, connector, n);
  name[n] = '\0';
}

bool ScreenCapture::Start() {
  context_->stopRequested.store(false);
  if (!VThreadCreateNamed(ScreenCastThreadMain, context_.get(), "capture", &thread_)) {
    thread_ = 0;
    return false;
  }
  return true;
}

void ScreenCapture::Stop() {
  if (thread_ == 0) {
    return;
  }
  ScreenCastRequestStop(context_.get());
  VThread_DestroyThread(thread_);
  thread_ = 0;
}

bool ScreenCapture::PopFrame(CaptureFrame *out) {
  return PopCaptureBuffer(&context_->frameQueue, out);
}

bool ScreenCapture::PopCursor(CursorUpdate *out) {
  return PopCursorBuffer(&context_->cursorQueue, out);
}

bool ScreenCapture::CursorShapeChanged(const CursorUpdate &update) {
  return context_->cursorShape.CursorShapeChanged(update);
}
