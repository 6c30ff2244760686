#include "app/widgets/options/units_page.h"

#include <QButtonGroup>
#include <QGroupBox>
#include <QVBoxLayout>

#include <algorithm>

#include "app/app_controller.h"
#include "app/widgets/options/fields.h"
#include "settings/settings.h"

namespace geomuxer {

UnitsPage::UnitsPage(QWidget* parent) : OptionsPage(tr("Units"), parent) {
  auto* distBox = new QGroupBox(tr("Units (Length, Area, Speed)"), this);
  m_distUnit = radioGroup(distBox, {tr("&Metric"), tr("&Statute (land miles)"), tr("&Nautic (nautic miles)")},
                          keys::generalDistUnit);
  auto* posBox = new QGroupBox(tr("Position"), this);
  m_posUnit = radioGroup(posBox,
                         {QStringLiteral("Decimal De&gree (N047.26962\u00B0)"),
                          QStringLiteral("Decimal M&inute (N047\u00B0 16.177')"),
                          QStringLiteral("Decimal S&econd (N047\u00B0 16' 10.6\")")},
                         keys::generalPosUnit);
  column()->addWidget(distBox);
  column()->addWidget(posBox);
}

void UnitsPage::load(const Settings& /*settings*/, const AppController& controller) {
  const DisplayFormat& format = controller.displayFormat();
  selectRadio(m_distUnit, static_cast<int>(format.distUnit));
  selectRadio(m_posUnit, static_cast<int>(format.posUnit));
}

void UnitsPage::store(Settings& settings) const {
  settings.writeInteger(keys::generalDistUnit.path, m_distUnit->checkedId());
  settings.writeInteger(keys::generalPosUnit.path, m_posUnit->checkedId());
}

void UnitsPage::apply(AppController& controller) {
  DisplayFormat format = controller.displayFormat();
  format.distUnit = static_cast<DistUnit>(std::max(0, m_distUnit->checkedId()));
  format.posUnit = static_cast<PosUnit>(std::max(0, m_posUnit->checkedId()));
  controller.setDisplayFormat(format);
}

}  // namespace geomuxer
