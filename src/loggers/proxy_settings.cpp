#include "loggers/proxy_settings.h"

namespace geomuxer {

void ProxySettings::load() {
  if (m_loaded) return;
  if (m_loader) m_loader(*this);
  m_loaded = true;
}

}  // namespace geomuxer
