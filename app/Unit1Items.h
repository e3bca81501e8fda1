// The texts of the main window's controls that are needed without the
// window: each list's items and each configuration control's caption, as
// the form shows them (the channel rows' from ChannelFields()). The form is
// built from these; the command line and the simulator use them to show
// and check configurations.
#pragma once

#include <string>
#include <vector>

// The items of a list, by the control's form name ("ComboBox_Unit_Ch3");
// empty for a control that is no list.
const std::vector<std::string>& ListItems(const std::string& control);

// A control's caption as the window shows it, single-spaced
// ("CH2 Alarm Setting Danger", "SYSTEM Baud", "IP 1", "MAC A6").
std::string ControlCaption(const std::string& control);
