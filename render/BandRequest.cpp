#include "render/BandRequest.h"

#include "hostsupport/Alerts.h"
#include "plugin/ModuleInstance.h"

ResultCode RequestBand(ExportRecord* stuff, const BandRequest* band, const uint8_t** data,
                       int32_t* rowBytes) {
  if (!CheckAdvanceState(stuff->advanceState, moduleInstance)) return kResultCancelled;

  stuff->theRect.top = band->top;
  stuff->theRect.left = band->left;
  stuff->theRect.bottom = band->bottom;
  stuff->theRect.right = band->right;
  stuff->loPlane = band->loPlane;
  stuff->hiPlane = band->hiPlane;

  ResultCode code = stuff->advanceState();
  // A host that claims success but delivers nothing would have the renderer
  // read through a null pointer: take it as the host's failure.
  if (code == kResultOk && stuff->data == nullptr) code = kResultBadParameter;
  if (code != kResultOk) {
    *data = nullptr;
    *rowBytes = 0;
    return code;
  }
  *data = static_cast<const uint8_t*>(stuff->data);
  *rowBytes = stuff->rowBytes;
  return kResultOk;
}
