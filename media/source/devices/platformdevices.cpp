// The built-in device backends of this platform, registered with the live source's device registry on
// its first use. Order matters only for listing: screen first, then cameras, then sound; the NDI receiver
// (only with an NDI runtime) after the cameras.

#include "alsaaudioprovider.h"
#include "mfdevicebackend.h"
#include "mfsinkprovider.h"
#include "ndireceiverprovider.h"
#include "pulseaudioprovider.h"
#include "v4l2cameraprovider.h"
#include "x11screenprovider.h"

void mfRegisterPlatformProviders();

void mfRegisterPlatformProviders() {
    MFDeviceRegistry::add(std::make_shared<X11ScreenProvider>());
    MFDeviceRegistry::add(std::make_shared<V4L2CameraProvider>());
    MFDeviceRegistry::add(std::make_shared<NDIReceiverProvider>());
    MFDeviceRegistry::add(std::make_shared<PulseAudioProvider>());
    MFDeviceRegistry::add(std::make_shared<AlsaAudioProvider>());
    MFDeviceRegistry::add(std::make_shared<MFSinkProvider>());
}
