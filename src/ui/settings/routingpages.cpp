#include "ui/settings/routingpages.h"

#include "app/settings/geoipcatalogue.h"
#include "app/settings/routingsettingsviewmodel.h"
#include "ui/common/icons.h"
#include "ui/common/sheet.h"
#include "ui/common/toggleswitch.h"
#include "ui/forms/formparts.h"
#include "ui/settings/settingsrows.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QStackedLayout>
#include <QVBoxLayout>

namespace {

// The list's buttons under it: flat, as the other lists of the settings have them.
QPushButton *listButton(const QString &text, const QIcon &symbol, QWidget *parent)
{
    auto *button = new QPushButton(symbol, text, parent);
    button->setFlat(true);
    button->setAccessibleName(text);
    return button;
}

QHBoxLayout *listButtons(QVBoxLayout *section, QPushButton *add, QPushButton *remove)
{
    auto *buttons = new QHBoxLayout;
    buttons->setSpacing(4);
    buttons->addWidget(add);
    auto *divider = new QFrame(add->parentWidget());
    divider->setFrameShape(QFrame::VLine);
    divider->setFrameShadow(QFrame::Plain);
    divider->setForegroundRole(QPalette::Mid);
    buttons->addWidget(divider);
    buttons->addWidget(remove);
    buttons->addStretch(1);
    section->addLayout(buttons);
    return buttons;
}

// A screen holding a settings page that scrolls.
QVBoxLayout *screenPage(Screen *screen)
{
    auto *outer = new QVBoxLayout(screen);
    outer->setContentsMargins(0, 0, 0, 0);
    auto *page = new QWidget(screen);
    outer->addWidget(page);
    return settingsPageLayout(page);
}

// The region picker, over the Routing page's model.
class AddRegionScreen final : public Screen {
public:
    explicit AddRegionScreen(RoutingSettingsViewModel &model)
    {
        setTitle(tr("Select a region"));
        QVBoxLayout *page = settingsPageLayout(this);
        auto *options = new QComboBox(this);
        options->setAccessibleName(tr("Options"));
        for (const GeoIPRegion &region : geoIPCatalogue())
            options->addItem(region.label);
        // Nothing chosen yet: OK waits for a choice.
        options->setCurrentIndex(-1);
        options->setPlaceholderText(tr("Options"));
        page->addWidget(options);
        page->addStretch(1);
        auto *buttons = new QHBoxLayout;
        buttons->addStretch(1);
        auto *cancel = new QPushButton(tr("Cancel"), this);
        auto *ok = new QPushButton(tr("OK"), this);
        ok->setDefault(true);
        ok->setEnabled(false);
        cancel->setAutoDefault(false);
        cancel->setShortcut(QKeySequence::Cancel);
        buttons->addWidget(cancel);
        buttons->addWidget(ok);
        page->addLayout(buttons);
        auto *close = headerButton(tr("Close"));
        addTrailingHeaderWidget(close);

        const auto closeSheet = [this] {
            if (QWidget *sheet = window())
                sheet->close();
        };
        connect(options, &QComboBox::currentIndexChanged, ok, [ok](int index) { ok->setEnabled(index >= 0); });
        connect(cancel, &QPushButton::clicked, this, closeSheet);
        connect(close, &QPushButton::clicked, this, closeSheet);
        connect(ok, &QPushButton::clicked, this, [&model, options, closeSheet] {
            model.addRegion(options->currentText());
            closeSheet();
        });
    }
};

} // namespace

RoutingSettingsPage::RoutingSettingsPage(SettingsAccess &settings, SettingsActionScheduler &scheduler, QWidget *parent)
    : QWidget(parent)
    , m_settings(settings)
    , m_scheduler(scheduler)
    , m_model(new RoutingSettingsViewModel(settings, scheduler, this))
{
    QVBoxLayout *page = settingsPageLayout(this);
    QVBoxLayout *geoIP = settingsSection(page, QString(), this);
    ToggleSwitch *enabled = settingsToggle(m_model->isEnabled(), this);
    geoIP->addWidget(
        settingsRow(tr("GeoIP Routing"), tr("Use direct connection to websites in specified regions."), enabled, this));
    connect(enabled, &QAbstractButton::toggled, m_model, &RoutingSettingsViewModel::setIsEnabled);
    auto *regions = new NavigationRow(IconName::globe, tr("Regions"), this);
    geoIP->addWidget(regions);
    connect(regions, &QAbstractButton::clicked, this, [this] {
        if (ScreenStack *stack = stackOf(this))
            stack->push(new RegionsScreen(*m_model));
    });

    QVBoxLayout *domains = settingsSection(page, tr("Domain based routing"), this);
    domains->addWidget(secondaryLine(tr("Routing rules based on the website domain names"), this));
    // The proxy list has no link: it is only stored and sent.
    for (const auto &[type, symbol] : { std::pair { DomainListViewModel::ListType::direct, IconName::link },
             std::pair { DomainListViewModel::ListType::block, IconName::warning } }) {
        auto *link = new NavigationRow(symbol, DomainListViewModel::title(type), this);
        domains->addWidget(link);
        connect(link, &QAbstractButton::clicked, this, [this, type] { openDomains(type); });
    }
    page->addStretch(1);
}

void RoutingSettingsPage::openDomains(DomainListViewModel::ListType type)
{
    if (ScreenStack *stack = stackOf(this))
        stack->push(new DomainListScreen(new DomainListViewModel(m_settings, m_scheduler, type)));
}

DomainListScreen::DomainListScreen(DomainListViewModel *model, QWidget *parent)
    : Screen(parent)
    , m_model(model)
    , m_rows(new QListWidget(this))
    , m_empty(new QLabel(tr("No domains specified"), this))
    , m_remove(listButton(tr("Remove"), icon(IconName::remove), this))
{
    m_model->setParent(this);
    setTitle(tr("Edit Domains"));
    QVBoxLayout *page = screenPage(this);
    QVBoxLayout *section = settingsSection(page, DomainListViewModel::title(m_model->type()) + tr(" route"), this);
    m_rows->setAccessibleName(tr("Domains"));
    m_rows->setSelectionMode(QAbstractItemView::ExtendedSelection);
    makeSecondary(m_empty);
    m_empty->setAlignment(Qt::AlignCenter);
    // The list, or in its place the line saying it is empty.
    auto *area = new QWidget(this);
    auto *stacked = new QStackedLayout(area);
    stacked->addWidget(m_rows);
    stacked->addWidget(m_empty);
    section->addWidget(area, 1);
    auto *add = listButton(tr("Add"), icon(IconName::add), this);
    listButtons(section, add, m_remove);

    connect(add, &QPushButton::clicked, this, [this] { rebuildRows(m_model->addItem().id); });
    connect(m_remove, &QPushButton::clicked, this, [this] {
        QSet<QUuid> ids;
        for (const QListWidgetItem *item : m_rows->selectedItems())
            ids.insert(item->data(Qt::UserRole).toUuid());
        m_model->removeItems(ids);
    });
    connect(m_rows, &QListWidget::itemSelectionChanged, this, &DomainListScreen::updateRemove);
    connect(m_model, &DomainListViewModel::domainsChanged, this, [this, stacked] {
        if (!m_changingRow)
            rebuildRows();
        stacked->setCurrentIndex(m_model->domains().isEmpty() ? 1 : 0);
    });
    rebuildRows();
    stacked->setCurrentIndex(m_model->domains().isEmpty() ? 1 : 0);
}

DomainListScreen::~DomainListScreen()
{
    // Deleted while on screen, without being hidden first.
    if (isVisible())
        m_model->saveDomains();
}

void DomainListScreen::hideEvent(QHideEvent *event)
{
    // Leaving the editor, however it goes (back, another page, the window closed), stores the list.
    m_model->saveDomains();
    Screen::hideEvent(event);
}

void DomainListScreen::rebuildRows(const QUuid &focus)
{
    // The rows' widgets go now, not later with their items: none of them is in the middle of a signal.
    for (int row = 0; row < m_rows->count(); ++row)
        delete m_rows->itemWidget(m_rows->item(row));
    m_rows->clear();
    for (const DomainItem &domain : m_model->domains()) {
        auto *item = new QListWidgetItem(m_rows);
        item->setData(Qt::UserRole, domain.id);
        auto *row = new QWidget(m_rows);
        auto *layout = new QHBoxLayout(row);
        layout->setContentsMargins(4, 2, 4, 2);
        auto *text = new QLineEdit(domain.domain, row);
        text->setAccessibleName(tr("Domain"));
        auto *type = new QComboBox(row);
        type->setAccessibleName(tr("Rule type"));
        type->addItem(tr("Exact match"));
        type->addItem(tr("Ends with"));
        type->setCurrentIndex(domain.type == DomainRuleType::fullDomain ? 0 : 1);
        type->setFixedWidth(150);
        layout->addWidget(text, 1);
        layout->addWidget(type);
        item->setSizeHint(row->sizeHint());
        m_rows->setItemWidget(item, row);

        const QUuid id = domain.id;
        connect(text, &QLineEdit::textEdited, this,
            [this, id](const QString &value) { changeRow(id, [&value](DomainItem &row) { row.domain = value; }); });
        connect(text, &QLineEdit::returnPressed, m_model, &DomainListViewModel::saveDomains);
        connect(type, &QComboBox::activated, this, [this, id](int index) {
            changeRow(id, [index](DomainItem &row) {
                row.type = index == 0 ? DomainRuleType::fullDomain : DomainRuleType::rootDomain;
            });
        });
        // Working in a row picks it, so Remove applies to the row being worked on.
        for (QWidget *field : { static_cast<QWidget *>(text), static_cast<QWidget *>(type) }) {
            field->setProperty("row", QVariant::fromValue(static_cast<void *>(item)));
            field->installEventFilter(this);
        }
        if (id == focus) {
            m_rows->setCurrentItem(item);
            text->setFocus();
        }
    }
    updateRemove();
}

bool DomainListScreen::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::FocusIn) {
        auto *item = static_cast<QListWidgetItem *>(watched->property("row").value<void *>());
        if (item && !item->isSelected())
            m_rows->setCurrentItem(item);
    }
    return Screen::eventFilter(watched, event);
}

void DomainListScreen::updateRemove()
{
    m_remove->setEnabled(!m_rows->selectedItems().isEmpty());
}

void DomainListScreen::changeRow(const QUuid &id, const std::function<void(DomainItem &)> &change)
{
    QList<DomainItem> domains = m_model->domains();
    for (DomainItem &domain : domains) {
        if (domain.id == id)
            change(domain);
    }
    m_changingRow = true;
    m_model->setDomains(domains);
    m_changingRow = false;
}

RegionsScreen::RegionsScreen(RoutingSettingsViewModel &model, QWidget *parent)
    : Screen(parent)
    , m_model(model)
    , m_regions(new QListWidget(this))
    , m_remove(listButton(tr("Remove"), icon(IconName::remove), this))
{
    setTitle(tr("Regions"));
    QVBoxLayout *page = screenPage(this);
    QVBoxLayout *section = settingsSection(page, tr("Regions for the GeoIP routing"), this);
    section->addWidget(secondaryLine(
        tr("Traffic to the regions specified in this list will bypass proxy when GeoIP routing is enabled"), this));
    m_regions->setAccessibleName(tr("Regions"));
    m_regions->setSelectionMode(QAbstractItemView::SingleSelection);
    m_regions->setSpacing(2);
    section->addWidget(m_regions, 1);
    auto *add = listButton(tr("Add"), icon(IconName::add), this);
    listButtons(section, add, m_remove);

    connect(add, &QPushButton::clicked, this, &RegionsScreen::openAddRegion);
    connect(m_remove, &QPushButton::clicked, &m_model, &RoutingSettingsViewModel::removeSelectedRegion);
    connect(m_regions, &QListWidget::itemSelectionChanged, this, [this] {
        const QList<QListWidgetItem *> selected = m_regions->selectedItems();
        m_model.setSelectedRegion(selected.isEmpty() ? QString() : selected.first()->text());
    });
    connect(&m_model, &RoutingSettingsViewModel::regionsChanged, this, &RegionsScreen::rebuild);
    connect(&m_model, &RoutingSettingsViewModel::selectedRegionChanged, this,
        [this] { m_remove->setEnabled(!m_model.selectedRegion().isEmpty()); });
    rebuild();
    m_remove->setEnabled(!m_model.selectedRegion().isEmpty());
}

Sheet *RegionsScreen::openAddRegion()
{
    auto *sheet = new Sheet(new AddRegionScreen(m_model), QSize(360, 240), window());
    sheet->open();
    return sheet;
}

void RegionsScreen::rebuild()
{
    const QSignalBlocker quiet(m_regions);
    m_regions->clear();
    for (const GeoIPRegion &region : m_model.regions()) {
        auto *item = new QListWidgetItem(region.label, m_regions);
        item->setSelected(region.label == m_model.selectedRegion());
    }
}
