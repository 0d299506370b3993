// The palette browser: design packages as palette pages, and the
// components created from them.
#include "PaletteWindow.h"

#include <FL/Fl.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Menu_Item.H>

#include <dirent.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <ostream>

namespace garvel::design {

std::vector<std::string> PluginFolders() {
  std::vector<std::string> folders;
  const char* path = std::getenv("GARVEL_PLUGIN_PATH");
  if (!path) {
    // The installed folder, found from the program's own place so that the
    // installation may be moved (bin/ and lib/ side by side).
    std::error_code error;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error)
      return {};
    return {(exe.parent_path().parent_path() / GARVEL_PLUGIN_SUBDIR).lexically_normal().string()};
  }
  std::string list = path;
  std::size_t start = 0;
  while (start <= list.size()) {
    const std::size_t end = std::min(list.find(':', start), list.size());
    if (end > start)
      folders.push_back(list.substr(start, end - start));
    start = end + 1;
  }
  return folders;
}

std::vector<std::string> PackagesIn(const std::string& Folder) {
  std::vector<std::string> files;
  DIR* dir = opendir(Folder.c_str());
  if (!dir)
    return files;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.size() > 3 && name.compare(name.size() - 3, 3, ".so") == 0)
      files.push_back(Folder + "/" + name);
  }
  closedir(dir);
  std::sort(files.begin(), files.end());
  return files;
}

int LoadPackages(TPackageHost& Host, const std::vector<std::string>& Files, std::ostream& Errors) {
  int loaded = 0;
  for (const auto& file : Files) {
    try {
      Host.LoadPackage(file);
      ++loaded;
    } catch (const std::exception& e) {
      Errors << e.what() << '\n';
    }
  }
  return loaded;
}

void WriteRegistrationTable(TPackageHost& Host, std::ostream& Out) {
  for (const auto& p : Host.Packages())
    Out << "Package\t" << p.Description << '\t' << p.FileName << '\n';
  Out << "Page\tClass\tImage\tVerbs\n";
  for (const auto& c : TDesignRegistry::Instance().AllClasses()) {
    std::string image = "-";
    if (const TPackageImage* i = Host.PaletteImage(c.ClassName))
      image = std::to_string(i->Width) + "x" + std::to_string(i->Height);
    std::string verbs;
    TComponent* component = Host.CreateComponent(c.ClassName);
    try {
      TComponentEditor& editor = Host.GetEditor(component);
      for (int v = 0; v < editor.GetVerbCount(); ++v)
        verbs += (v ? "|" : "") + editor.GetVerb(v);
    } catch (...) {
      Host.DestroyComponent(component);
      throw;
    }
    Host.DestroyComponent(component);
    Out << c.Page << '\t' << c.ClassName << '\t' << image << '\t' << verbs << '\n';
  }
}

TComponentList::TComponentList(int X, int Y, int W, int H, TPackageHost& Host)
    : Fl_Hold_Browser(X, Y, W, H), FHost(Host) {}

void TComponentList::Refresh() {
  clear();
  for (TComponent* c : FHost.Components())
    add((c->Name + "\t" + ComponentClassName(c)).c_str(), c);
}

TComponent* TComponentList::ComponentAt(int Line) const {
  if (Line < 1 || Line > size())
    return nullptr;
  return static_cast<TComponent*>(data(Line));
}

void TComponentList::ShowVerbs(int Line) {
  TComponent* component = ComponentAt(Line);
  if (!component)
    return;
  TComponentEditor& editor = FHost.GetEditor(component);
  const int count = editor.GetVerbCount();
  if (count <= 0)
    return;
  std::vector<std::string> texts;
  for (int i = 0; i < count; ++i)
    texts.push_back(editor.GetVerb(i));
  std::vector<Fl_Menu_Item> items(texts.size() + 1, Fl_Menu_Item{});
  for (std::size_t i = 0; i < texts.size(); ++i) {
    items[i].text = texts[i].c_str();
    items[i].user_data_ = reinterpret_cast<void*>(static_cast<std::intptr_t>(i));
  }
  const Fl_Menu_Item* chosen = items.front().popup(Fl::event_x(), Fl::event_y());
  if (chosen && chosen->text)
    editor.ExecuteVerb(static_cast<int>(reinterpret_cast<std::intptr_t>(chosen->user_data_)));
}

int TComponentList::handle(int Event) {
  if (Event == FL_PUSH && Fl::event_button() == FL_RIGHT_MOUSE) {
    void* item = find_item(Fl::event_y());
    if (!item)
      return 1;
    const int line = lineno(item);
    select(line);
    ShowVerbs(line);
    return 1;
  }
  const int handled = Fl_Hold_Browser::handle(Event);
  if (Event == FL_PUSH && Fl::event_button() == FL_LEFT_MOUSE && Fl::event_clicks() > 0) {
    Fl::event_clicks(0);
    if (TComponent* component = ComponentAt(value()))
      FHost.GetEditor(component).Edit();
  }
  return handled;
}

TfmPalette::TfmPalette(TPackageHost& Host)
    : Fl_Double_Window(480, 300, "Garvel component palette"), FHost(Host) {
  xclass("TfmPalette");
  Tabs = new Fl_Tabs(4, 4, 472, 70);
  Tabs->end();
  lbComponents = new TComponentList(4, 80, 472, 190, Host);
  static const int Columns[] = {160, 0};
  lbComponents->column_widths(Columns);
  lblStatus = new Fl_Box(4, 274, 472, 22);
  lblStatus->align(FL_ALIGN_LEFT | FL_ALIGN_INSIDE | FL_ALIGN_CLIP);
  lblStatus->labelsize(12);
  end();
  resizable(lbComponents);
  RefreshPalette();
}

TfmPalette::~TfmPalette() {
  // The buttons refer to the images.
  for (Fl_Button* b : ClassButtons)
    b->image(nullptr);
}

void TfmPalette::SetStatus(const std::string& Text) {
  lblStatus->copy_label(Text.c_str());
}

void TfmPalette::RefreshPalette() {
  for (Fl_Button* b : ClassButtons)
    b->image(nullptr);
  ClassButtons.clear();
  Tabs->clear();
  FImages.clear();
  auto& registry = TDesignRegistry::Instance();
  Tabs->begin();
  for (const auto& page : registry.Pages()) {
    auto* group = new Fl_Group(Tabs->x(), Tabs->y() + 24, Tabs->w(), Tabs->h() - 24);
    group->copy_label(page.c_str());
    int x = group->x() + 6;
    for (const auto& c : registry.Classes(page)) {
      auto* button = new Fl_Button(x, group->y() + 6, 32, 32);
      button->copy_tooltip(c.ClassName.c_str());
      if (const TPackageImage* image = FHost.PaletteImage(c.ClassName)) {
        FImages.push_back(std::make_unique<Fl_Pixmap>(image->Xpm));
        button->image(FImages.back().get());
      } else {
        button->copy_label(c.ClassName.substr(0, 3).c_str());
      }
      button->callback(ClassButtonClick, this);
      ClassButtons.push_back(button);
      x += 36;
    }
    group->end();
  }
  Tabs->end();
  if (Tabs->children() > 0)
    Tabs->value(Tabs->child(0));
  lbComponents->Refresh();
  redraw();
}

void TfmPalette::ClassButtonClick(Fl_Widget* Button, void* Data) {
  auto* self = static_cast<TfmPalette*>(Data);
  try {
    self->FHost.CreateComponent(Button->tooltip());
    self->lbComponents->Refresh();
    self->lbComponents->select(self->lbComponents->size());
  } catch (const std::exception& e) {
    self->SetStatus(e.what());
  }
}

} // namespace garvel::design
