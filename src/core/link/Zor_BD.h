// TZorBaseDevice: one external device as the program sees it: its name, its
// caption, optional entries in the program's menus, settings hooks and an
// enabled state.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TMIniFile;

// A menu entry of the device: a small model of its own, so the core stays free
// of any toolkit. A UI that wants to show these items builds its menus from it.
class TMenuItem {
public:
  std::string Caption;
  int ShortCut = 0; // 0: none; see TextToShortCut
  int32_t HelpContext = 0;
  std::function<void()> OnClick;

  // Appends `item`, which this item then owns; answers the appended item.
  TMenuItem *Add(std::unique_ptr<TMenuItem> item);
  const std::vector<std::unique_ptr<TMenuItem>> &Items() const { return FItemsOwned; }

private:
  std::vector<std::unique_ptr<TMenuItem>> FItemsOwned;
};

// Modifier bits of a shortcut code; the low 16 bits hold the key.
inline constexpr int kShortCutShift = 0x2000;
inline constexpr int kShortCutCtrl = 0x4000;
inline constexpr int kShortCutAlt = 0x8000;

// The shortcut of a text such as "Ctrl+S", "Shift+F5" or "Alt+X"; "(None)",
// empty and unknown texts give 0 (no shortcut).
int TextToShortCut(const std::string &text);

class TZorBaseDevice {
public:
  // Either menu may be null. Creates no menu item: a derived class sets the
  // flags and Caption and then calls BuildMenus.
  TZorBaseDevice(TMenuItem *primaryMenu, TMenuItem *secondaryMenu);
  virtual ~TZorBaseDevice() = default;
  TZorBaseDevice(const TZorBaseDevice &) = delete;
  TZorBaseDevice &operator=(const TZorBaseDevice &) = delete;

  // Creates the device's item (captioned Caption) under each given menu whose
  // flag is set, primary first.
  void BuildMenus();
  // Adds a command under PrimaryMenuItem; answers it, or null when the device
  // has no primary item.
  TMenuItem *AddMenuCommand(const std::string &caption, const std::string &shortCut,
                            int32_t helpContext, std::function<void()> onClick);

  virtual void LoadSettings(TMIniFile &settings);
  virtual void SaveSettings(TMIniFile &settings);
  // Five operations kept for derived devices; nothing here overrides or calls them.
  virtual void Reserved1() {}
  virtual void Reserved2() {}
  virtual bool Reserved3() { return true; }
  virtual void Reserved4() {}
  virtual void Reserved5() {}
  // Called after every change of Enabled.
  virtual void EnabledChanged() {}
  virtual void Enable();
  virtual void Disable();

  bool Enabled = false;
  std::string DeviceName;
  TMenuItem *PrimaryMenu = nullptr;
  bool ShowInPrimaryMenu = false;
  TMenuItem *PrimaryMenuItem = nullptr;
  TMenuItem *SecondaryMenu = nullptr;
  bool ShowInSecondaryMenu = false;
  TMenuItem *SecondaryMenuItem = nullptr;
  std::string Caption;
};
