#include "link/Zor_BD.h"

#include <algorithm>
#include <cctype>

TMenuItem *TMenuItem::Add(std::unique_ptr<TMenuItem> item) {
  FItemsOwned.push_back(std::move(item));
  return FItemsOwned.back().get();
}

namespace {
std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

// The key part of a shortcut text: one letter or digit, F1 ... F12, or a named key.
int KeyCode(const std::string &key) {
  if (key.size() == 1 && std::isalnum(static_cast<unsigned char>(key[0])))
    return static_cast<unsigned char>(key[0]);
  if (key.size() >= 2 && key[0] == 'F') {
    const std::string digits = key.substr(1);
    if (std::all_of(digits.begin(), digits.end(),
                    [](unsigned char c) { return std::isdigit(c); })) {
      const int n = std::stoi(digits);
      if (n >= 1 && n <= 12)
        return 0x70 + n - 1; // the virtual-key codes of F1 ... F12
    }
  }
  static const std::pair<const char *, int> kNamed[] = {
      {"ENTER", 0x0D}, {"ESC", 0x1B}, {"SPACE", 0x20}, {"INS", 0x2D},  {"DEL", 0x2E},
      {"HOME", 0x24},  {"END", 0x23}, {"PGUP", 0x21},  {"PGDN", 0x22}, {"TAB", 0x09}};
  for (const auto &[name, code] : kNamed)
    if (key == name)
      return code;
  return 0;
}
} // namespace

int TextToShortCut(const std::string &text) {
  std::string rest = Upper(text);
  int modifiers = 0;
  for (;;) {
    if (rest.rfind("CTRL+", 0) == 0) {
      modifiers |= kShortCutCtrl;
      rest.erase(0, 5);
    } else if (rest.rfind("SHIFT+", 0) == 0) {
      modifiers |= kShortCutShift;
      rest.erase(0, 6);
    } else if (rest.rfind("ALT+", 0) == 0) {
      modifiers |= kShortCutAlt;
      rest.erase(0, 4);
    } else {
      break;
    }
  }
  const int key = KeyCode(rest);
  return key == 0 ? 0 : modifiers | key;
}

TZorBaseDevice::TZorBaseDevice(TMenuItem *primaryMenu, TMenuItem *secondaryMenu)
    : PrimaryMenu(primaryMenu), SecondaryMenu(secondaryMenu) {}

void TZorBaseDevice::BuildMenus() {
  auto build = [this](TMenuItem *menu, bool show) -> TMenuItem * {
    if (!menu || !show)
      return nullptr;
    auto item = std::make_unique<TMenuItem>();
    item->Caption = Caption;
    return menu->Add(std::move(item));
  };
  if (TMenuItem *item = build(PrimaryMenu, ShowInPrimaryMenu))
    PrimaryMenuItem = item;
  if (TMenuItem *item = build(SecondaryMenu, ShowInSecondaryMenu))
    SecondaryMenuItem = item;
}

TMenuItem *TZorBaseDevice::AddMenuCommand(const std::string &caption, const std::string &shortCut,
                                          int32_t helpContext, std::function<void()> onClick) {
  if (!PrimaryMenuItem)
    return nullptr;
  auto item = std::make_unique<TMenuItem>();
  item->Caption = caption;
  item->HelpContext = helpContext;
  item->ShortCut = TextToShortCut(shortCut);
  if (onClick)
    item->OnClick = std::move(onClick);
  return PrimaryMenuItem->Add(std::move(item));
}

void TZorBaseDevice::LoadSettings(TMIniFile &) {}
void TZorBaseDevice::SaveSettings(TMIniFile &) {}

void TZorBaseDevice::Enable() {
  Enabled = true;
  EnabledChanged();
}

void TZorBaseDevice::Disable() {
  Enabled = false;
  EnabledChanged();
}
