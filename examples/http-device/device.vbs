' A heating controller reached over HTTP (see devicesim): the script polls its
' values and writes set-points back.
'
' Items: Temperature, Setpoint, Valve (read); Setpoint (write, 5 to 30).

Option Explicit

Const DeviceUrl = "http://127.0.0.1:18123"

Dim Http

Sub OnStart()
    Set Http = CreateObject("MSXML2.ServerXMLHTTP")
    Trace "heating controller at " & DeviceUrl
End Sub

' The device's values as a dictionary of name to text; Nothing on failure.
Function FetchValues()
    Dim Lines, Line, Parts, Values
    Set FetchValues = Nothing
    On Error Resume Next
    Http.Open "GET", DeviceUrl & "/values", False
    Http.Send
    If Err.Number <> 0 Then
        Trace "device not reachable: " & Err.Description
        Exit Function
    End If
    On Error Goto 0
    If Http.Status <> 200 Then
        Trace "device answered " & Http.Status
        Exit Function
    End If
    Set Values = CreateObject("Scripting.Dictionary")
    Lines = Split(Http.ResponseText, vbLf)
    For Each Line In Lines
        Parts = Split(Line, "=")
        If UBound(Parts) = 1 Then Values(Parts(0)) = Parts(1)
    Next
    Set FetchValues = Values
End Function

' The device writes numbers with a decimal point whatever the locale.
Function ToNumber(Text)
    ToNumber = CDbl(Replace(Text, ".", Mid(CStr(1.5), 2, 1)))
End Function

Function ToText(Number)
    ToText = Replace(CStr(Number), Mid(CStr(1.5), 2, 1), ".")
End Function

Sub ReadItem(Name, Request, Value)
    Dim Values
    Set Values = FetchValues()
    If Values Is Nothing Then
        Request.FailRequest
    ElseIf Not Values.Exists(Name) Then
        Request.FailRequest
    Else
        Value.Value = ToNumber(Values(Name))
    End If
End Sub

Sub OnRead_Temperature(Request, Value)
    ReadItem "temperature", Request, Value
End Sub

Sub OnRead_Setpoint(Request, Value)
    ReadItem "setpoint", Request, Value
End Sub

Sub OnRead_Valve(Request, Value)
    ReadItem "valve", Request, Value
End Sub

Sub OnWrite_Setpoint(Request, Value)
    Http.Open "POST", DeviceUrl & "/setpoint", False
    Http.SetRequestHeader "Content-Type", "text/plain"
    Http.Send "value=" & ToText(Value.Value)
    If Http.Status <> 200 Then
        Trace "set-point refused: " & Http.ResponseText
        Request.FailRequest
    End If
End Sub

Sub OnRead(Request, Value)
    Request.FailRequest
End Sub

Sub OnWrite(Request, Value)
    Request.FailRequest
End Sub
