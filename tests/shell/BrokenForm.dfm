object BrokenForm: TBrokenForm
  Caption = 'Broken'
  Colour = clBtnFace
end
