#include "app/Cause.h"

namespace veska::app {

std::string_view CauseKindName(CauseKind kind) {
  switch (kind) {
    case CauseKind::None:
      return "none";
    case CauseKind::Port:
      return "port";
    case CauseKind::NoReply:
      return "no-reply";
    case CauseKind::PhoneRefused:
      return "phone-refused";
    case CauseKind::FileRefused:
      return "file-refused";
    case CauseKind::VerifyDifference:
      return "verify-difference";
    case CauseKind::Cancelled:
      return "cancelled";
  }
  return "none";
}

std::string_view PortProblemName(link::PortProblem problem) {
  switch (problem) {
    case link::PortProblem::Missing:
      return "missing";
    case link::PortProblem::Permission:
      return "permission";
    case link::PortProblem::InUse:
      return "in-use";
    case link::PortProblem::NotSerial:
      return "not-serial";
    case link::PortProblem::Setup:
      return "setup";
    case link::PortProblem::LineFailed:
      return "line-failed";
    case link::PortProblem::Other:
      break;
  }
  return "other";
}

}  // namespace veska::app
