object Form1: TForm1
  Caption = 'a''b'#27284 + 'c'
  Font.Style = [fsBold, fsItalic]
  Left = -2147483648
  object Button1: TButton
  end
end
