#pragma once

#include <string>

#include "common/module_loader.h"
#include "renderer/opengl_probe.h"
#include "renderer/renderer_switches.h"

constexpr wchar_t kWarningCaption[] = L"orviMake Studio 3D Warning";
constexpr wchar_t kWarningText[] =
    L"orviMake Studio 3D was unable to automatically switch to MESA OpenGL library\n"
    L"Please, try to run the application using the '--sw-renderer' option.\n";

// What the renderer decision and the software switch ask of the platform: the session kind,
// the probe window, releasing and finding libraries, loading one by path, and the warning box.
class RendererSystem {
  public:
    // GetSystemMetrics(SM_REMOTESESSION) is non-zero.
    virtual bool IsRemoteSession() = 0;
    // RunOpenGLProbe with the Windows probe window.
    virtual void RunProbe(OpenGLProbeResult& result) = 0;
    // FreeLibrary succeeded.
    virtual bool ReleaseLibrary(ModuleHandle library) = 0;
    // GetModuleHandleW(base_name) finds a module of that name still in the process.
    virtual bool IsLibraryLoaded(const wchar_t* base_name) = 0;
    // LoadLibraryExW(path, no file, LOAD_WITH_ALTERED_SEARCH_PATH): the library's own folder is
    // searched first for its imports.
    virtual ModuleHandle LoadLibraryByPath(const std::wstring& path) = 0;
    // MessageBoxW(no owner, text, caption, MB_OK); returns once the user has closed it.
    virtual void ShowWarning(const wchar_t* text, const wchar_t* caption) = 0;

  protected:
    ~RendererSystem() = default;
};

RendererSystem& SystemRenderer();

// True when the software OpenGL library is to be used: asked for with "--sw-renderer", a
// remote session without "--no-sw-renderer", a probe that did not complete, or a driver
// older than 2.0. Runs the probe into probe (which must be empty) only when the switches and
// the session leave the question open.
bool UseSoftwareRenderer(const RendererSwitches& switches, OpenGLProbeResult& probe,
                         RendererSystem& system);

// Releases the system OpenGL library the probe loaded and loads "mesa\opengl32.dll" from the
// launcher directory in its place, so the application finds the software one. False, after
// the warning box, when the system library could not be taken out of the process; the
// launch must then end. A software library that does not load is not a failure.
bool SwitchToSoftwareOpenGL(OpenGLProbeResult& probe, const std::wstring& launcher_directory,
                            RendererSystem& system);
