# Writes the protected test files of this folder with LibreOffice (run once,
# with python3-uno: /usr/bin/python3 make_protected.py tests/data/protected).
# The password of every file is "päss wörd"; lo_blowfish.ods is saved as ODF
# 1.1, which LibreOffice encrypts with Blowfish.
import subprocess, time, uno, sys, os
from com.sun.star.beans import PropertyValue
def pv(n, v):
    p = PropertyValue(); p.Name = n; p.Value = v; return p
out = sys.argv[1]
proc = subprocess.Popen(["soffice", "--headless", "--norestore", "-env:UserInstallation=file:///tmp/varnowe-lo-profile",
                         '--accept=socket,host=127.0.0.1,port=2083;urp;'])
ctx = None
for i in range(60):
    try:
        local = uno.getComponentContext()
        resolver = local.ServiceManager.createInstanceWithContext("com.sun.star.bridge.UnoUrlResolver", local)
        ctx = resolver.resolve("uno:socket,host=127.0.0.1,port=2083;urp;StarOffice.ComponentContext")
        break
    except Exception:
        time.sleep(1)
smgr = ctx.ServiceManager
desktop = smgr.createInstanceWithContext("com.sun.star.frame.Desktop", ctx)
def setodf(version):
    cp = smgr.createInstanceWithContext("com.sun.star.configuration.ConfigurationProvider", ctx)
    acc = cp.createInstanceWithArguments("com.sun.star.configuration.ConfigurationUpdateAccess",
                                         (pv("nodepath", "/org.openoffice.Office.Common/Save/ODF"),))
    acc.setPropertyValue("DefaultVersion", version)
    acc.commitChanges()
def book():
    doc = desktop.loadComponentFromURL("private:factory/scalc", "_blank", 0, (pv("Hidden", True),))
    sh = doc.Sheets.getByIndex(0)
    sh.getCellByPosition(0, 0).setString("protected")
    sh.getCellByPosition(1, 0).setValue(42)
    sh.getCellByPosition(0, 1).setString("p\u00e4ss w\u00f6rd")
    return doc
pw = "p\u00e4ss w\u00f6rd"
for name, filt, ver in [("lo_aes.ods", "calc8", None), ("lo_blowfish.ods", "calc8", 2),
                        ("lo_rc4.xls", "MS Excel 97", None)]:
    if ver is not None: setodf(ver)
    doc = book()
    doc.storeToURL(uno.systemPathToFileUrl(os.path.join(out, name)), (pv("FilterName", filt), pv("Password", pw)))
    doc.close(True)
    if ver is not None: setodf(10)
desktop.terminate()
proc.wait()
