#pragma once

// The Core Audio endpoint interfaces, with the SDK's methods, signatures and constants, so
// that the same code and the same test doubles compile against either.

#include "platform/audio_ids.h"
#include "platform/posix/com.h"
#include "platform/posix/guid.h"
#include "platform/posix/types.h"
#include "platform/posix/wave_format.h"

enum EDataFlow { eRender = 0, eCapture = 1, eAll = 2 };
enum ERole { eConsole = 0, eMultimedia = 1, eCommunications = 2 };
enum AUDCLNT_SHAREMODE { AUDCLNT_SHAREMODE_SHARED = 0, AUDCLNT_SHAREMODE_EXCLUSIVE = 1 };

inline constexpr DWORD AUDCLNT_STREAMFLAGS_LOOPBACK = 0x00020000;
inline constexpr DWORD AUDCLNT_STREAMFLAGS_EVENTCALLBACK = 0x00040000;

inline constexpr DWORD AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY = 0x1;
inline constexpr DWORD AUDCLNT_BUFFERFLAGS_SILENT = 0x2;
inline constexpr DWORD AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR = 0x4;

inline constexpr DWORD DEVICE_STATE_ACTIVE = 0x1;

inline constexpr HRESULT audclntError(std::uint32_t code) {
    return hresult(0x88890000u | code);
}
inline constexpr HRESULT AUDCLNT_E_NOT_INITIALIZED = audclntError(0x1);
inline constexpr HRESULT AUDCLNT_E_ALREADY_INITIALIZED = audclntError(0x2);
inline constexpr HRESULT AUDCLNT_E_WRONG_ENDPOINT_TYPE = audclntError(0x3);
inline constexpr HRESULT AUDCLNT_E_DEVICE_INVALIDATED = audclntError(0x4);
inline constexpr HRESULT AUDCLNT_E_NOT_STOPPED = audclntError(0x5);
inline constexpr HRESULT AUDCLNT_E_BUFFER_TOO_LARGE = audclntError(0x6);
inline constexpr HRESULT AUDCLNT_E_OUT_OF_ORDER = audclntError(0x7);
inline constexpr HRESULT AUDCLNT_E_UNSUPPORTED_FORMAT = audclntError(0x8);
inline constexpr HRESULT AUDCLNT_E_INVALID_SIZE = audclntError(0x9);
inline constexpr HRESULT AUDCLNT_E_DEVICE_IN_USE = audclntError(0xA);
inline constexpr HRESULT AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED = audclntError(0xE);
inline constexpr HRESULT AUDCLNT_E_ENDPOINT_CREATE_FAILED = audclntError(0xF);
inline constexpr HRESULT AUDCLNT_E_SERVICE_NOT_RUNNING = audclntError(0x10);
inline constexpr HRESULT AUDCLNT_E_EVENTHANDLE_NOT_EXPECTED = audclntError(0x11);
inline constexpr HRESULT AUDCLNT_E_EVENTHANDLE_NOT_SET = audclntError(0x14);
inline constexpr HRESULT AUDCLNT_E_BUFFER_SIZE_ERROR = audclntError(0x16);
inline constexpr HRESULT AUDCLNT_E_BUFFER_ERROR = audclntError(0x18);
inline constexpr HRESULT AUDCLNT_E_RESOURCES_INVALIDATED = audclntError(0x26);
inline constexpr HRESULT AUDCLNT_S_BUFFER_EMPTY = hresult(0x08890001);

// The SDK declares them at global scope; code written against it finds them there.
using dualcap::CLSID_MMDeviceEnumerator;
using dualcap::IID_IAudioCaptureClient;
using dualcap::IID_IAudioClient;
using dualcap::IID_IAudioRenderClient;
using dualcap::IID_IMMDevice;
using dualcap::IID_IMMDeviceEnumerator;
using dualcap::IID_IMMNotificationClient;

struct PROPVARIANT;
struct IPropertyStore;
struct IMMDeviceCollection;
using LPCGUID = const GUID*;

struct PROPERTYKEY {
    GUID fmtid;
    DWORD pid;
};

struct IMMNotificationClient : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE OnDeviceStateChanged(LPCWSTR deviceId, DWORD newState) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR deviceId) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR deviceId) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow flow, ERole role,
                                                             LPCWSTR defaultDeviceId) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR deviceId,
                                                             const PROPERTYKEY key) = 0;

protected:
    ~IMMNotificationClient() = default;
};

struct IMMDevice : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Activate(REFIID iid, DWORD clsCtx,
                                               PROPVARIANT* activationParams, void** object) = 0;
    virtual HRESULT STDMETHODCALLTYPE OpenPropertyStore(DWORD access,
                                                        IPropertyStore** properties) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetId(LPWSTR* id) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetState(DWORD* state) = 0;

protected:
    ~IMMDevice() = default;
};

struct IMMDeviceEnumerator : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE EnumAudioEndpoints(EDataFlow dataFlow, DWORD stateMask,
                                                         IMMDeviceCollection** devices) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDefaultAudioEndpoint(EDataFlow dataFlow, ERole role,
                                                              IMMDevice** endpoint) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDevice(LPCWSTR id, IMMDevice** device) = 0;
    virtual HRESULT STDMETHODCALLTYPE
    RegisterEndpointNotificationCallback(IMMNotificationClient* client) = 0;
    virtual HRESULT STDMETHODCALLTYPE
    UnregisterEndpointNotificationCallback(IMMNotificationClient* client) = 0;

protected:
    ~IMMDeviceEnumerator() = default;
};

struct IAudioClient : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE shareMode, DWORD streamFlags,
                                                 REFERENCE_TIME bufferDuration,
                                                 REFERENCE_TIME periodicity,
                                                 const WAVEFORMATEX* format,
                                                 LPCGUID audioSessionGuid) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32* bufferFrames) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME* latency) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32* paddingFrames) = 0;
    virtual HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE shareMode,
                                                        const WAVEFORMATEX* format,
                                                        WAVEFORMATEX** closestMatch) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX** deviceFormat) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME* defaultPeriod,
                                                      REFERENCE_TIME* minimumPeriod) = 0;
    virtual HRESULT STDMETHODCALLTYPE Start() = 0;
    virtual HRESULT STDMETHODCALLTYPE Stop() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
    virtual HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE eventHandle) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetService(REFIID riid, void** service) = 0;

protected:
    ~IAudioClient() = default;
};

struct IAudioCaptureClient : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* framesToRead, DWORD* flags,
                                                UINT64* devicePosition, UINT64* qpcPosition) = 0;
    virtual HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 framesRead) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* framesInNextPacket) = 0;

protected:
    ~IAudioCaptureClient() = default;
};

struct IAudioRenderClient : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetBuffer(UINT32 framesRequested, BYTE** data) = 0;
    virtual HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 framesWritten, DWORD flags) = 0;

protected:
    ~IAudioRenderClient() = default;
};
