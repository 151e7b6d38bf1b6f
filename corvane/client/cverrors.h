// Codes the client library returns: the codes of the agent protocol.
#pragma once

#include "corvane/wire/cverrors.h"
