' Modbus RTU client: the script builds each request with its CRC-16, the
' driver's serial link sends it and reads the answer, the script checks it.
Const Unit = 1

' The frame of a request: unit, function code, two 16-bit numbers, CRC-16
' (low byte first).
Function Request(code, first, second)
    Dim pdu
    pdu = QuillonLink.Concat(QuillonLink.Concat(Unit, code), _
          QuillonLink.Concat(QuillonLink.Int16Bytes(first), QuillonLink.Int16Bytes(second)))
    Request = QuillonLink.Concat(pdu, QuillonLink.Int16Bytes(QuillonLink.Crc16(pdu), True))
End Function

' Sends a request and returns the whole answer. The first three bytes tell
' how many follow: an exception (function code + &H80) has its code and the
' CRC, a read its byte count, data and CRC, a write four bytes and the CRC.
' An exception or a bad CRC is raised as an error.
Function Ask(frame)
    Dim head, rest, answer
    head = QuillonLink.Transact(frame, 3)
    If head(1) >= &H80 Then
        rest = QuillonLink.Receive(2)
    ElseIf head(1) = 3 Then
        rest = QuillonLink.Receive(head(2) + 2)
    Else
        rest = QuillonLink.Receive(5)
    End If
    answer = QuillonLink.Concat(head, rest)
    ' The CRC over a whole frame, its own CRC included, is 0.
    If QuillonLink.Crc16(answer) <> 0 Then
        Err.Raise vbObjectError + 1, "modbus-rtu", "bad CRC in " & QuillonLink.Hex(answer)
    End If
    If head(1) >= &H80 Then
        Err.Raise vbObjectError + 2, "modbus-rtu", "exception " & head(2) & " from unit " & head(0)
    End If
    Ask = answer
End Function

'' Refuses the request with a trace line that says why.
Sub Refuse(Req, reason)
    Trace "register " & Req.N2 & ": " & reason
    Req.FailRequest
End Sub

Sub OnStart
    Trace "Modbus RTU client for unit " & Unit
End Sub

' Holding register N2.
Sub OnRead_Register(Req, Value)
    Dim answer
    On Error Resume Next
    answer = Ask(Request(3, Req.N2, 1))
    If Err.Number <> 0 Then
        Refuse Req, Err.Description
        Exit Sub
    End If
    Value.Value = QuillonLink.GetUInt16(answer, 3)
End Sub

' Size holding registers from N2 on, as a list.
Sub OnRead_Registers(Req, Value)
    Dim answer, i
    On Error Resume Next
    answer = Ask(Request(3, Req.N2, Req.Size))
    If Err.Number <> 0 Then
        Refuse Req, Err.Description
        Exit Sub
    End If
    For i = 0 To Req.Size - 1
        Value.AddToList QuillonLink.GetUInt16(answer, 3 + 2 * i)
    Next
End Sub

' Write single register (function 6); the answer repeats the request.
Sub OnWrite_Register(Req, Value)
    Dim answer
    On Error Resume Next
    answer = Ask(Request(6, Req.N2, Value.Value))
    If Err.Number <> 0 Then Refuse Req, Err.Description
End Sub

Sub OnStop
    Trace "Modbus RTU client stopped"
End Sub
