' Items of the script's own beside the serial link of the toolkit.
Sub OnRead(Request, Value)
    Value.Value = "COM link example"
End Sub

Sub OnWrite(Request, Value)
End Sub
