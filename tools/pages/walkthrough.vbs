' The walk-through as a page script in a COM-hosting browser would write it:
' the registered control by its ProgID, results as numbers, the serial
' number and the digest through variables passed by reference.
'   cscript walkthrough.vbs PASSWORD MESSAGE
password = WScript.Arguments(0)
message = WScript.Arguments(1)
Set key = CreateObject("Tallykey.UsbKey")
Dim sn, digest
WScript.Echo "FindKeys() -> " & key.FindKeys()
r = key.GetSN(sn)
WScript.Echo "GetSN(sn) -> " & r & ", sn = """ & sn & """"
WScript.Echo "InitPassword(password) -> " & key.InitPassword(password)
WScript.Echo "UpdatePassword(wrong, password) -> " & key.UpdatePassword(password & "?", password)
WScript.Echo "UpdatePassword(password, password) -> " & key.UpdatePassword(password, password)
r = key.HMAC_MD5(password, message, Len(message), digest)
WScript.Echo "HMAC_MD5(password, message, Len(message), digest) -> " & r & ", digest = """ & digest & """"
