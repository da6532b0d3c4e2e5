' A simulated three-phase energy meter.
'
' Items (the tag's item text):
'   Voltage, Current, Power, Frequency   measured values (R64), read only
'   Energy                               energy counter in kWh (R64), read only
'   Phases                               the three phase voltages (array)
'   Setpoint                             the power limit in kW, read and write
'   Status                               "OK", or "LIMIT" above the set-point
'   Log                                  the last five writes, as a list
'
' The values move with the time of day, so that successive reads differ.

Option Explicit

Dim Setpoint, StartTime, Writes, WriteCount

Sub OnStart()
    Setpoint = 40
    StartTime = Timer
    Set Writes = CreateObject("Scripting.Dictionary")
    WriteCount = 0
    Trace "meter simulation started, set-point " & Setpoint & " kW"
End Sub

Sub OnStop()
    Trace "meter simulation stopped after " & WriteCount & " writes"
End Sub

'  Rounds to the given number of decimals (the engine's Round may ignore them).
Function RoundTo(Number, Decimals)
    RoundTo = Int(Number * 10 ^ Decimals + 0.5) / 10 ^ Decimals
End Function

Function Wave(Base, Amplitude, Period)
    Wave = Base + Amplitude * Sin(2 * 3.14159265358979 * Timer / Period)
End Function

Function Voltage()
    Voltage = RoundTo(Wave(230, 4, 17), 2)
End Function

Function Current()
    Current = RoundTo(Wave(52, 6, 11), 2)
End Function

Function Power()
    Power = RoundTo(Sqr(3) * Voltage() * Current() / 1000, 3)
End Function

Sub OnRead_Voltage(Request, Value)
    Value.Value = Voltage()
End Sub

Sub OnRead_Current(Request, Value)
    Value.Value = Current()
End Sub

Sub OnRead_Power(Request, Value)
    Value.Value = Power()
End Sub

Sub OnRead_Frequency(Request, Value)
    Value.Value = RoundTo(Wave(50, 0.05, 7), 3)
End Sub

Sub OnRead_Energy(Request, Value)
    Value.Value = RoundTo(1000 + (Timer - StartTime) * Power() / 3600, 4)
End Sub

Sub OnRead_Phases(Request, Value)
    Value.Value = Array(Voltage(), RoundTo(Wave(230, 4, 19), 2), RoundTo(Wave(230, 4, 23), 2))
End Sub

Sub OnRead_Setpoint(Request, Value)
    Value.Value = Setpoint
End Sub

Sub OnRead_Status(Request, Value)
    If Power() > Setpoint Then
        Value.Value = "LIMIT"
        Value.Quality = 64 ' uncertain
    Else
        Value.Value = "OK"
    End If
End Sub

Sub OnRead_Log(Request, Value)
    Dim Key
    For Each Key In Writes.Keys
        Value.AddToList Writes(Key)
    Next
End Sub

Sub OnWrite_Setpoint(Request, Value)
    Dim NewSetpoint
    NewSetpoint = Value.Value
    If Not IsNumeric(NewSetpoint) Then
        Request.FailRequest
        Exit Sub
    End If
    If NewSetpoint < 0 Or NewSetpoint > 100 Then
        Request.FailRequest
        Exit Sub
    End If
    Setpoint = CDbl(NewSetpoint)
    WriteCount = WriteCount + 1
    Writes.Add WriteCount, "Setpoint = " & Setpoint
    If Writes.Exists(WriteCount - 5) Then Writes.Remove WriteCount - 5
    Trace "set-point changed to " & Setpoint & " kW"
End Sub

' Any other item.
Sub OnRead(Request, Value)
    Request.FailRequest
    Trace "no such item: " & Request.ParamItem
End Sub

Sub OnWrite(Request, Value)
    Request.FailRequest
    Trace "item is read only: " & Request.ParamItem
End Sub
