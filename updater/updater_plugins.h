#pragma once

// The updater plug-ins: other products of the suite register a component object
// under HKEY_LOCAL_MACHINE "SOFTWARE\Quellon\Tessary\Plugins" (one subkey named
// by its class identifier). At the start of each pass the manager loads it,
// asks the manifest service for a download instruction for the plug-in's
// database, downloads the file through the command-file interpreter into the
// place the plug-in names, and has the plug-in merge the file or replace its
// database with it. Runs on a thread initialised for the apartment model.

#include <windows.h>

#include <list>
#include <string>

#include "updater/updater_plugin.h"

namespace tessary::TSUpdaterPlugin {

inline constexpr wchar_t kPluginsSubkey[] = L"Plugins";

// Results of AddPlugin.
inline constexpr int kPluginAdded = 0;
inline constexpr int kPluginBadClsid = -1;
inline constexpr int kPluginNotCreated = -3;
inline constexpr int kPluginInitializeFailed = -4;

class UpdaterPluginManager {
public:
    UpdaterPluginManager();
    // Releases every plug-in.
    virtual ~UpdaterPluginManager();
    UpdaterPluginManager(const UpdaterPluginManager&) = delete;
    UpdaterPluginManager& operator=(const UpdaterPluginManager&) = delete;

    // Loads the plug-in of the first subkey (enumeration index 0) of the
    // "Plugins" key. False when it could not be added; true without the key.
    bool AddPluginsFromRegistry();

    // Creates and initialises the plug-in of class `clsid` (registry form, in
    // braces) and puts it at the front of the list: kPluginAdded, or
    // kPluginBadClsid, kPluginNotCreated, kPluginInitializeFailed.
    int AddPlugin(const wchar_t* clsid);

    // Runs the update of every plug-in in list order. True when every one went
    // through without error; a plug-in that fails a step is skipped.
    bool RunAllUpdates();

    size_t size() const { return plugins_.size(); }

private:
    bool RunUpdate(IUpdaterPlugin* plugin);

    std::list<IUpdaterPlugin*> plugins_;
};

}  // namespace tessary::TSUpdaterPlugin
