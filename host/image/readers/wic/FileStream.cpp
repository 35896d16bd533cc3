#include "host/image/readers/wic/FileStream.h"

#include <cstring>

namespace {

// COM objects end through Release, never through a base pointer's delete:
// IStream has no virtual destructor, and needs none.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
class FileStream final : public IStream {
 public:
  explicit FileStream(ImageSource* source) : source_(source) {}
  virtual ~FileStream() = default;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_ISequentialStream) ||
        IsEqualIID(iid, IID_IStream)) {
      *out = static_cast<IStream*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&references_)); }
  ULONG STDMETHODCALLTYPE Release() override {
    LONG left = InterlockedDecrement(&references_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }

  HRESULT STDMETHODCALLTYPE Read(void* buffer, ULONG size, ULONG* done) override {
    if (done != nullptr) *done = 0;
    if (CancelRequested(*source_)) return E_ABORT;
    size_t got = std::fread(buffer, 1, size, source_->file);
    if (done != nullptr) *done = static_cast<ULONG>(got);
    if (got < size && std::ferror(source_->file) != 0) return STG_E_READFAULT;
    return got == size ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Write(const void*, ULONG, ULONG*) override { return STG_E_ACCESSDENIED; }

  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* position) override {
    int whence = origin == STREAM_SEEK_SET ? SEEK_SET : origin == STREAM_SEEK_CUR ? SEEK_CUR : SEEK_END;
    if (origin > STREAM_SEEK_END) return STG_E_INVALIDFUNCTION;
    std::clearerr(source_->file);
    if (fseeko64(source_->file, move.QuadPart, whence) != 0) return STG_E_SEEKERROR;
    if (position != nullptr) {
      long long at = ftello64(source_->file);
      if (at < 0) return STG_E_SEEKERROR;
      position->QuadPart = static_cast<ULONGLONG>(at);
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Stat(STATSTG* stat, DWORD) override {
    if (stat == nullptr) return STG_E_INVALIDPOINTER;
    std::memset(stat, 0, sizeof *stat);
    stat->type = STGTY_STREAM;
    stat->cbSize.QuadPart = source_->size;
    stat->grfMode = STGM_READ;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER) override { return STG_E_ACCESSDENIED; }
  HRESULT STDMETHODCALLTYPE CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Revert() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    return STG_E_INVALIDFUNCTION;
  }
  HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    return STG_E_INVALIDFUNCTION;
  }
  HRESULT STDMETHODCALLTYPE Clone(IStream** out) override {
    if (out != nullptr) *out = nullptr;
    return E_NOTIMPL;
  }

 private:
  ImageSource* source_;
  LONG references_ = 1;
};
#pragma GCC diagnostic pop

}  // namespace

IStream* NewFileStream(ImageSource* source) {
  std::rewind(source->file);
  return new FileStream(source);
}
