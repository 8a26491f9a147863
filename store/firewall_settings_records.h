#pragma once

// Fixed-layout records of the type library that carry the service settings to
// the firewall, with their layout checked at compile time.

#include <cstddef>

// Both records come from the type library's interface definition
// (component/qntessary.idl):
// - tagQNTS_FIREWALL_SETTINGS, service settings as handed to the firewall (3104
//   bytes). Numbers are unsigned 32-bit; each text field holds up to 255 UTF-16
//   characters, zero-filled after the text and without a terminator when the text
//   fills the field. A field the service did not publish reads as all bits set.
// - tagQNTS_FIREWALL_IDS, one intrusion-detection setting (8 bytes). Never
//   produced by this system.
#include "qntessary.h"

static_assert(sizeof(ULONG) == 4 && sizeof(LONG) == 4 && sizeof(wchar_t) == 2,
              "the records use the Windows data model");
static_assert(sizeof(tagQNTS_FIREWALL_SETTINGS) == 3104);
static_assert(offsetof(tagQNTS_FIREWALL_SETTINGS, pdwSubmitInterval) == 0);
static_assert(offsetof(tagQNTS_FIREWALL_SETTINGS, pdwDisableFirstConnect) == 40);
static_assert(offsetof(tagQNTS_FIREWALL_SETTINGS, pwszEventsURL) == 44);
static_assert(offsetof(tagQNTS_FIREWALL_SETTINGS, pwszAppQueryURL) == 554);
static_assert(offsetof(tagQNTS_FIREWALL_SETTINGS, pwszAppStatsURL) == 1064);
static_assert(offsetof(tagQNTS_FIREWALL_SETTINGS, pwszAppSubmitURL) == 1574);
static_assert(offsetof(tagQNTS_FIREWALL_SETTINGS, pwszManifestURL) == 2084);
static_assert(offsetof(tagQNTS_FIREWALL_SETTINGS, pwszSummaryURL) == 2594);
static_assert(sizeof(tagQNTS_FIREWALL_IDS) == 8);
static_assert(offsetof(tagQNTS_FIREWALL_IDS, bEnabled) == 4);
