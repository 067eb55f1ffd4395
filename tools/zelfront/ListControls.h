// The controls with items: combo box, list box, list view (report view with
// columns) and tree view.
#pragma once

#include <memory>

#include "tools/zelfront/Control.h"

namespace zelfront {

std::unique_ptr<Control> MakeComboBox(ProcessLink* link, const fe::Record& r, QWidget* parent);
std::unique_ptr<Control> MakeListBox(ProcessLink* link, const fe::Record& r, QWidget* parent);
std::unique_ptr<Control> MakeListView(ProcessLink* link, const fe::Record& r, QWidget* parent);
std::unique_ptr<Control> MakeTreeView(ProcessLink* link, const fe::Record& r, QWidget* parent);

}  // namespace zelfront
