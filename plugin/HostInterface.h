// The records, callbacks, selectors and result codes of the host interface
// for export modules (interface version 4.0), as a host lays them out.
// Fields this plug-in never reads are here too, so that the records have the
// host's size and offsets; on 32-bit Windows every offset below matches the
// host's (checked by the static assertions at the end).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/Platform.h"

// ---- basic types -----------------------------------------------------------

typedef int16_t ResultCode;  // written through the host's result cell; 0 = success
typedef uint8_t HostBoolean;   // a Boolean byte: 0 false, anything else true
typedef int32_t Fixed;         // 16.16 fixed point
typedef uint32_t OSType;       // a four-character code as a 32-bit number
typedef uint32_t DescType;
typedef uint32_t DescriptorKeyID;
typedef char** Handle;         // the address of a word holding the data address; 0 = none
typedef unsigned char Str255[256];  // a length byte and up to 255 characters

struct Point {
  int16_t v;
  int16_t h;
};

struct Rect {
  int16_t top;
  int16_t left;
  int16_t bottom;
  int16_t right;
};

struct VPoint {
  int32_t v;
  int32_t h;
};

struct VRect {
  int32_t top;
  int32_t left;
  int32_t bottom;
  int32_t right;
};

typedef unsigned char LookUpTable[256];

// A four-character code from its characters, as the host numbers them.
constexpr OSType FourCharCode(char a, char b, char c, char d) {
  return static_cast<OSType>(static_cast<unsigned char>(a)) << 24 |
         static_cast<OSType>(static_cast<unsigned char>(b)) << 16 |
         static_cast<OSType>(static_cast<unsigned char>(c)) << 8 |
         static_cast<OSType>(static_cast<unsigned char>(d));
}

// ---- selectors, modes, result codes ------------------------------------------

enum : int16_t {
  kSelectorAbout = 0,
  kSelectorStart = 1,
  kSelectorContinue = 2,
  kSelectorFinish = 3,
  kSelectorPrepare = 4,
};

enum : int16_t {
  kModeBitmap = 0,
  kModeGrayScale = 1,
  kModeIndexedColor = 2,
  kModeRGBColor = 3,
  kModeCMYKColor = 4,
  kModeHSLColor = 5,
  kModeHSBColor = 6,
  kModeMultichannel = 7,
  kModeDuotone = 8,
  kModeLabColor = 9,
};

enum : ResultCode {
  kResultOk = 0,
  kResultCancelled = -128,        // the user cancelled or the export was stopped
  kResultOutOfMemory = -108,
  kResultWriteError = -20,
  kResultFileOpenError = -23,     // the output file cannot be replaced or created
  kResultBadParameter = -50,      // the host's record describes no possible image
  kResultParameterMissing = -1715,
  kResultUnknownSelector = -30200,
  kResultBitmapMode = -30201,     // image mode not supported: bitmap
  kResultInternalError = -1,      // an unexpected failure inside the plug-in
};

// ---- callbacks ---------------------------------------------------------------

typedef HostBoolean(GW_HOSTCALL* TestAbortProc)(void);
typedef void(GW_HOSTCALL* ProgressProc)(int32_t done, int32_t total);
typedef ResultCode(GW_HOSTCALL* AdvanceStateProc)(void);

// Callbacks of the host that this plug-in never calls; kept for the layout.
typedef void(GW_HOSTCALL* ProcessEventProc)(void* event);
typedef ResultCode(GW_HOSTCALL* DisplayPixelsProc)(const void* source, const void* srcRect,
                                                   int32_t dstRow, int32_t dstCol,
                                                   void* platformContext);
typedef ResultCode(GW_HOSTCALL* ColorServicesProc)(void* info);
typedef ResultCode(GW_HOSTCALL* GetPropertyProc)(OSType signature, OSType key, int32_t index,
                                                 intptr_t* simpleProperty, Handle* complexProperty);

// ---- handle suite ------------------------------------------------------------

typedef Handle(GW_HOSTCALL* NewPIHandleProc)(int32_t size);
typedef void(GW_HOSTCALL* DisposePIHandleProc)(Handle handle);
typedef int32_t(GW_HOSTCALL* GetPIHandleSizeProc)(Handle handle);
typedef ResultCode(GW_HOSTCALL* SetPIHandleSizeProc)(Handle handle, int32_t newSize);
typedef char*(GW_HOSTCALL* LockPIHandleProc)(Handle handle, HostBoolean moveHigh);
typedef void(GW_HOSTCALL* UnlockPIHandleProc)(Handle handle);
typedef void(GW_HOSTCALL* RecoverSpaceProc)(int32_t size);
typedef void(GW_HOSTCALL* DisposeRegularHandleProc)(Handle handle);

struct HandleProcs {
  int16_t handleProcsVersion;  // 1
  int16_t numHandleProcs;      // 8
  NewPIHandleProc newProc;
  DisposePIHandleProc disposeProc;
  GetPIHandleSizeProc getSizeProc;
  SetPIHandleSizeProc setSizeProc;
  LockPIHandleProc lockProc;
  UnlockPIHandleProc unlockProc;
  RecoverSpaceProc recoverSpaceProc;
  DisposeRegularHandleProc disposeRegularHandleProc;
};

// ---- descriptor suites -------------------------------------------------------

typedef Handle PIDescriptorHandle;
typedef struct PIOpaqueReadDescriptor* PIReadDescriptor;
typedef struct PIOpaqueWriteDescriptor* PIWriteDescriptor;

struct PIDescriptorSimpleReference {
  DescType desiredClass;
  DescType keyForm;
  struct {
    Str255 name;
    int32_t index;
    DescType type;
    DescType value;
  } keyData;
};

typedef PIReadDescriptor(GW_HOSTCALL* OpenReadDescriptorProc)(PIDescriptorHandle descriptor,
                                                              DescriptorKeyID* expectedKeys);
typedef ResultCode(GW_HOSTCALL* CloseReadDescriptorProc)(PIReadDescriptor reader);
typedef HostBoolean(GW_HOSTCALL* GetKeyProc)(PIReadDescriptor reader, DescriptorKeyID* key,
                                             DescType* type, int32_t* flags);
typedef ResultCode(GW_HOSTCALL* GetIntegerProc)(PIReadDescriptor reader, int32_t* value);
typedef ResultCode(GW_HOSTCALL* GetFloatProc)(PIReadDescriptor reader, double* value);
typedef ResultCode(GW_HOSTCALL* GetUnitFloatProc)(PIReadDescriptor reader, DescType* unit,
                                                  double* value);
typedef ResultCode(GW_HOSTCALL* GetBooleanProc)(PIReadDescriptor reader, HostBoolean* value);
typedef ResultCode(GW_HOSTCALL* GetTextProc)(PIReadDescriptor reader, Handle* value);
typedef ResultCode(GW_HOSTCALL* GetAliasProc)(PIReadDescriptor reader, Handle* value);
typedef ResultCode(GW_HOSTCALL* GetEnumeratedProc)(PIReadDescriptor reader, DescType* value);
typedef ResultCode(GW_HOSTCALL* GetClassProc)(PIReadDescriptor reader, DescType* value);
typedef ResultCode(GW_HOSTCALL* GetSimpleReferenceProc)(PIReadDescriptor reader,
                                                        PIDescriptorSimpleReference* value);
typedef ResultCode(GW_HOSTCALL* GetObjectProc)(PIReadDescriptor reader, DescType* type,
                                               PIDescriptorHandle* value);
typedef ResultCode(GW_HOSTCALL* GetCountProc)(PIReadDescriptor reader, uint32_t* value);
typedef ResultCode(GW_HOSTCALL* GetStringProc)(PIReadDescriptor reader, Str255* value);
typedef ResultCode(GW_HOSTCALL* GetPinnedIntegerProc)(PIReadDescriptor reader, int32_t min,
                                                      int32_t max, int32_t* value);
typedef ResultCode(GW_HOSTCALL* GetPinnedFloatProc)(PIReadDescriptor reader, const double* min,
                                                    const double* max, double* value);
typedef ResultCode(GW_HOSTCALL* GetPinnedUnitFloatProc)(PIReadDescriptor reader, const double* min,
                                                        const double* max, DescType* unit,
                                                        double* value);

struct ReadDescriptorProcs {
  int16_t readDescriptorProcsVersion;  // 0
  int16_t numReadDescriptorProcs;      // 18
  OpenReadDescriptorProc openReadDescriptorProc;
  CloseReadDescriptorProc closeReadDescriptorProc;
  GetKeyProc getKeyProc;
  GetIntegerProc getIntegerProc;
  GetFloatProc getFloatProc;
  GetUnitFloatProc getUnitFloatProc;
  GetBooleanProc getBooleanProc;
  GetTextProc getTextProc;
  GetAliasProc getAliasProc;
  GetEnumeratedProc getEnumeratedProc;
  GetClassProc getClassProc;
  GetSimpleReferenceProc getSimpleReferenceProc;
  GetObjectProc getObjectProc;
  GetCountProc getCountProc;
  GetStringProc getStringProc;
  GetPinnedIntegerProc getPinnedIntegerProc;
  GetPinnedFloatProc getPinnedFloatProc;
  GetPinnedUnitFloatProc getPinnedUnitFloatProc;
};

typedef PIWriteDescriptor(GW_HOSTCALL* OpenWriteDescriptorProc)(void);
typedef ResultCode(GW_HOSTCALL* CloseWriteDescriptorProc)(PIWriteDescriptor writer,
                                                          PIDescriptorHandle* newDescriptor);
typedef ResultCode(GW_HOSTCALL* PutIntegerProc)(PIWriteDescriptor writer, DescriptorKeyID key,
                                                int32_t value);
typedef ResultCode(GW_HOSTCALL* PutFloatProc)(PIWriteDescriptor writer, DescriptorKeyID key,
                                              const double* value);
typedef ResultCode(GW_HOSTCALL* PutUnitFloatProc)(PIWriteDescriptor writer, DescriptorKeyID key,
                                                  DescType unit, const double* value);
typedef ResultCode(GW_HOSTCALL* PutBooleanProc)(PIWriteDescriptor writer, DescriptorKeyID key,
                                                HostBoolean value);
typedef ResultCode(GW_HOSTCALL* PutTextProc)(PIWriteDescriptor writer, DescriptorKeyID key,
                                             Handle value);
typedef ResultCode(GW_HOSTCALL* PutAliasProc)(PIWriteDescriptor writer, DescriptorKeyID key,
                                              Handle value);
typedef ResultCode(GW_HOSTCALL* PutEnumeratedProc)(PIWriteDescriptor writer, DescriptorKeyID key,
                                                   DescType type, DescType value);
typedef ResultCode(GW_HOSTCALL* PutClassProc)(PIWriteDescriptor writer, DescriptorKeyID key,
                                              DescType value);
typedef ResultCode(GW_HOSTCALL* PutSimpleReferenceProc)(PIWriteDescriptor writer,
                                                        DescriptorKeyID key,
                                                        const PIDescriptorSimpleReference* value);
typedef ResultCode(GW_HOSTCALL* PutObjectProc)(PIWriteDescriptor writer, DescriptorKeyID key,
                                               DescType type, PIDescriptorHandle value);
typedef ResultCode(GW_HOSTCALL* PutCountProc)(PIWriteDescriptor writer, DescriptorKeyID key,
                                              uint32_t value);
typedef ResultCode(GW_HOSTCALL* PutStringProc)(PIWriteDescriptor writer, DescriptorKeyID key,
                                               const unsigned char* value);
typedef ResultCode(GW_HOSTCALL* PutScopedClassProc)(PIWriteDescriptor writer, DescriptorKeyID key,
                                                    DescType value);
typedef ResultCode(GW_HOSTCALL* PutScopedObjectProc)(PIWriteDescriptor writer, DescriptorKeyID key,
                                                     DescType type, PIDescriptorHandle* value);

struct WriteDescriptorProcs {
  int16_t writeDescriptorProcsVersion;  // 0
  int16_t numWriteDescriptorProcs;      // 16
  OpenWriteDescriptorProc openWriteDescriptorProc;
  CloseWriteDescriptorProc closeWriteDescriptorProc;
  PutIntegerProc putIntegerProc;
  PutFloatProc putFloatProc;
  PutUnitFloatProc putUnitFloatProc;
  PutBooleanProc putBooleanProc;
  PutTextProc putTextProc;
  PutAliasProc putAliasProc;
  PutEnumeratedProc putEnumeratedProc;
  PutClassProc putClassProc;
  PutSimpleReferenceProc putSimpleReferenceProc;
  PutObjectProc putObjectProc;
  PutCountProc putCountProc;
  PutStringProc putStringProc;
  PutScopedClassProc putScopedClassProc;
  PutScopedObjectProc putScopedObjectProc;
};

enum : int16_t {
  kPlayDialogOptional = 0,  // playInfo: the host leaves the dialog to the plug-in
  kPlayDialogRequired = 1,  // playInfo: the host asks for the plug-in's dialog
  kPlayDialogNone = 2,
};

struct PIDescriptorParameters {
  int16_t descriptorParametersVersion;  // 0
  int16_t playInfo;
  int16_t recordInfo;
  PIDescriptorHandle descriptor;
  WriteDescriptorProcs* writeDescriptorProcs;
  ReadDescriptorProcs* readDescriptorProcs;
};

// ---- parameter blocks --------------------------------------------------------

// The record that platformData points to: the host's main window first.
struct PlatformData {
  intptr_t hwnd;
};

struct PlugInMonitor {
  Fixed gamma;
  Fixed redX, redY;
  Fixed greenX, greenY;
  Fixed blueX, blueY;
  Fixed whiteX, whiteY;
  Fixed ambient;
};

struct BufferProcs;
struct ResourceProcs;
struct ImageServicesProcs;
struct ChannelPortProcs;
struct ReadImageDocumentDesc;
struct SPBasicSuite;

struct ExportRecord {
  int32_t serialNumber;
  TestAbortProc abortProc;
  ProgressProc progressProc;
  int32_t maxData;     // bytes of image data the host will deliver per request
  int16_t imageMode;
  Point imageSize;     // rows (v) and columns (h)
  int16_t depth;
  int16_t planes;
  Fixed imageHRes;
  Fixed imageVRes;
  LookUpTable redLUT;
  LookUpTable greenLUT;
  LookUpTable blueLUT;
  Rect theRect;        // the area requested from the host
  int16_t loPlane;
  int16_t hiPlane;
  void* data;          // the delivered area's first sample
  int32_t rowBytes;    // distance from one delivered row to the next
  Str255 filename;     // the document name on entry
  int16_t vRefNum;
  HostBoolean dirty;
  Rect selectBBox;
  OSType hostSig;
  void* hostProc;
  Handle duotoneInfo;
  int16_t thePlane;
  PlugInMonitor monitor;
  void* platformData;  // points to a PlatformData
  BufferProcs* bufferProcs;
  ResourceProcs* resourceProcs;
  ProcessEventProc processEvent;
  DisplayPixelsProc displayPixels;
  HandleProcs* handleProcs;
  ColorServicesProc colorServices;
  GetPropertyProc getPropertyObsolete;
  AdvanceStateProc advanceState;
  int16_t layerPlanes;
  int16_t transparencyMask;
  int16_t layerMasks;
  int16_t invertedLayerMasks;
  int16_t nonLayerPlanes;
  ImageServicesProcs* imageServicesProcs;
  int16_t tileWidth;
  int16_t tileHeight;
  Point tileOrigin;
  PIDescriptorParameters* descriptorParameters;
  Str255* errorString;
  ChannelPortProcs* channelPortProcs;
  ReadImageDocumentDesc* documentInfo;
  SPBasicSuite* sSPBasic;
  void* plugInRef;
  int32_t transparentIndex;
  Handle iCCprofileData;
  int32_t iCCprofileSize;
  int32_t canUseICCProfiles;
  int32_t lutCount;
  int32_t HostSupports32BitCoordinates;
  int32_t PluginUsing32BitCoordinates;
  VPoint imageSize32;
  VRect theRect32;
  VRect selectBBox32;
  char reserved[100];
};

struct AboutRecord {
  void* platformData;  // points to a PlatformData
  SPBasicSuite* sSPBasic;
  void* plugInRef;
  char reserved[244];
};

// ---- the entry point ---------------------------------------------------------

// selector: one of the selectors above; stuff: an AboutRecord for about, an
// ExportRecord otherwise; data: the host's cell for the plug-in's globals
// handle; result: the host's result cell.
typedef void(GW_HOSTCALL* PluginEntryProc)(int16_t selector, void* stuff, intptr_t* data,
                                           int16_t* result);

GW_EXPORT void GW_HOSTCALL PluginMain(int16_t selector, void* stuff, intptr_t* data,
                                      int16_t* result);

// ---- layout as the host has it on 32-bit Windows -------------------------------

#if defined(__i386__) || defined(_M_IX86)
static_assert(sizeof(HandleProcs) == 36, "HandleProcs layout");
static_assert(sizeof(ReadDescriptorProcs) == 4 + 18 * 4, "ReadDescriptorProcs layout");
static_assert(sizeof(WriteDescriptorProcs) == 4 + 16 * 4, "WriteDescriptorProcs layout");
static_assert(sizeof(PIDescriptorParameters) == 20, "PIDescriptorParameters layout");
static_assert(sizeof(AboutRecord) == 256, "AboutRecord layout");
static_assert(offsetof(ExportRecord, maxData) == 12, "ExportRecord layout");
static_assert(offsetof(ExportRecord, imageSize) == 18, "ExportRecord layout");
static_assert(offsetof(ExportRecord, planes) == 24, "ExportRecord layout");
static_assert(offsetof(ExportRecord, theRect) == 804, "ExportRecord layout");
static_assert(offsetof(ExportRecord, data) == 816, "ExportRecord layout");
static_assert(offsetof(ExportRecord, filename) == 824, "ExportRecord layout");
static_assert(offsetof(ExportRecord, dirty) == 1082, "ExportRecord layout");
static_assert(offsetof(ExportRecord, platformData) == 1148, "ExportRecord layout");
static_assert(offsetof(ExportRecord, handleProcs) == 1168, "ExportRecord layout");
static_assert(offsetof(ExportRecord, advanceState) == 1180, "ExportRecord layout");
static_assert(offsetof(ExportRecord, descriptorParameters) == 1208, "ExportRecord layout");
#endif
