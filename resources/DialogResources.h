// SPDX-License-Identifier: GPL-3.0-or-later
// The program's two dialog templates, built once from their definitions.
#pragma once

#include <cstdint>
#include <span>

#include "resources/DialogTemplate.h"

namespace tarnwick {

const DialogDefinition& SnifferDialogDefinition();
const DialogDefinition& DownloadDialogDefinition();

// Template bytes by resource id (102 or 1500); empty for any other id.
std::span<const uint8_t> DialogTemplateBytes(int templateId);

}  // namespace tarnwick
