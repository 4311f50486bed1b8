#!/usr/bin/env python3
"""Writes the package code and both times of an MSI's summary information.

usage: msi-summary.py MSI PACKAGE_CODE EPOCH

wixl writes a random package code and the current time there; with these set
from what is packed and from SOURCE_DATE_EPOCH, the same files packed twice
give the same bytes (cmake/MsiBuild.cmake). Uses libmsi, msitools' library,
through GObject introspection (Debian: python3-gi, gir1.2-libmsi-1.0).
"""
import sys

import gi

gi.require_version("Libmsi", "1.0")
from gi.repository import Libmsi  # noqa: E402

path, package_code, epoch = sys.argv[1], sys.argv[2], int(sys.argv[3])
# FILETIME: 100 ns steps since 1601-01-01.
filetime = (epoch + 11644473600) * 10000000
database = Libmsi.Database.new(path, Libmsi.DbFlags.TRANSACT, None)
info = Libmsi.SummaryInfo.new(database, 3)
info.set_string(Libmsi.Property.UUID, package_code)
info.set_filetime(Libmsi.Property.CREATED_TM, filetime)
info.set_filetime(Libmsi.Property.LASTSAVED_TM, filetime)
info.persist()
database.commit()
