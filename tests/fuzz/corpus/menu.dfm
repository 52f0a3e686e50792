object Form1: TForm1
  object MainMenu1: TMainMenu
    object N1: TMenuItem
      object N2: TMenuItem
        OnClick = N2Click
      end
    end
  end
end
