#include "tray/TrayRoutes.h"

#include "platform/Endpoints.h"

namespace tvrn::TrayRoutes {

std::string url(const TrayRoute& route) {
  switch (route.service) {
    case TrayRoute::Service::statusServer:
      return Endpoints::statusBaseURL() + std::string(route.path);
    case TrayRoute::Service::backend:
      return Endpoints::backend() + std::string(route.path);
    case TrayRoute::Service::web:
      return Endpoints::web() + std::string(route.path);
  }
  return {};
}

}  // namespace tvrn::TrayRoutes
