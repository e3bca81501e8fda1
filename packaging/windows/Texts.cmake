# README.txt and LICENSE.txt of the Windows packages, with Windows line
# ends: cmake -DVERSION= -DMAINTAINER= -DREADME= -DCOPYRIGHT= -DQT_VERSION=
# -DSTAGE= -P Texts.cmake
file(READ ${README} readme)
cmake_minimum_required(VERSION 3.20)
string(REPLACE "@VERSION@" "${VERSION}" readme "${readme}")
file(READ ${COPYRIGHT} copyright)
string(REGEX MATCH "<([^>]*)>" email "${MAINTAINER}")
string(REPLACE "@MAINTAINER_EMAIL@" "${CMAKE_MATCH_1}" copyright "${copyright}")
set(license "${copyright}
The programs contain Qt ${QT_VERSION} (Core, Gui, Widgets, PrintSupport),
linked statically, under the GNU Lesser General Public License version 3
(https://www.gnu.org/licenses/lgpl-3.0.html). Its source is Debian's
qt6-base source package of that version; the programs' own source and the
script that builds this Qt from it come with the programs' source, so that
they can be linked again with a changed Qt.
")
foreach(name readme license)
  string(REPLACE "\r\n" "\n" text "${${name}}")
  string(REPLACE "\n" "\r\n" text "${text}")
  string(TOUPPER ${name} upper)
  file(WRITE ${STAGE}/${upper}.txt "${text}")
endforeach()
