#include "platform/ui.h"

namespace tolven::platform {

const char* MsgKindName(MsgKind kind) {
  switch (kind) {
    case MsgKind::Information: return "Information";
    case MsgKind::Critical: return "Kritisch";
    case MsgKind::Exclamation: return "Warnung";
    case MsgKind::Question: return "Frage";
  }
  return "";
}

}  // namespace tolven::platform
